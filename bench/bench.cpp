// SPDX-License-Identifier: GPL-3.0-or-later
// tovo-bench (make bench): the encoder's and decoder's kernels at every path this CPU runs, side
// by side in one run with the machine's limits (the multiply-add peak, the store rate) and with
// what a user would pick instead (OpenBLAS, Eigen, the plain loop). Each round times every
// candidate once; figures are medians over rounds, and each ratio is taken within a round before
// its median is.
#include "ambi/field_rotation.hpp"
#include "ambi/flavours.hpp"
#include "ambi/kernels.hpp"
#include "ambi/rotate_kernel.hpp"
#include "ambi/weights.hpp"
#include "bench/binaural.hpp"
#include "bench/eigen_product.hpp"
#include "bench/limits.hpp"
#include "bench/openblas.hpp"
#include "bench/plain_decoder.hpp"
#include "host/dsp.hpp"

#include <sched.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace tovo;
using namespace tovo::ambi;
using namespace tovo::bench;

// Each timing runs a candidate for at least this long.
constexpr double TIMING_NS = 250e3;
constexpr int DEFAULT_ROUNDS = 101;
// Rounds of the peak loop per call: some hundred thousand multiply-adds.
constexpr long PEAK_ROUNDS = 1024;
// The store-rate loop fills this many floats (4 KB) per pass.
constexpr long STORE_FLOATS = 1024;
// The spiral layout's step in azimuth: the golden angle, 2.39996 radians as written.
constexpr double GOLDEN_ANGLE_RAD = 2.39996;
// A candidate that decodes must agree with the kernels this closely (OpenBLAS and Eigen sum
// in their own order).
constexpr float AGREEMENT = 1e-5f;

struct AlignedFree {
    void operator()(float* p) const { ::operator delete[](p, std::align_val_t(64)); }
};
using Buffer = std::unique_ptr<float[], AlignedFree>;

Buffer make_buffer(long count) {
    auto* p = static_cast<float*>(
        ::operator new[](static_cast<std::size_t>(count) * sizeof(float), std::align_val_t(64)));
    std::fill(p, p + count, 0.0f);
    return Buffer(p);
}

struct Candidate {
    Candidate(std::string name_, std::function<void()> call_, double work_)
        : name(std::move(name_)), call(std::move(call_)), work(work_) {}
    std::string name;
    std::function<void()> call;
    double work;              // multiply-adds or floats stored per call
    long calls = 1;           // per timing, set by calibration
    std::vector<double> ns;   // per round, per call
    std::vector<double> rate; // per round: work per ns, that is G per second
};

double now_ns() {
    return std::chrono::duration<double, std::nano>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void time_once(Candidate& c) {
    const double start = now_ns();
    for (long i = 0; i < c.calls; ++i)
        c.call();
    const double per_call = (now_ns() - start) / static_cast<double>(c.calls);
    c.ns.push_back(per_call);
    c.rate.push_back(c.work / per_call);
}

void calibrate(Candidate& c) {
    c.calls = 1;
    for (;;) {
        const double start = now_ns();
        for (long i = 0; i < c.calls; ++i)
            c.call();
        if (now_ns() - start >= TIMING_NS)
            return;
        c.calls *= 2;
    }
}

double median(std::vector<double> v) {
    if (v.empty())
        return std::nan("");
    std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

// The median over rounds of a's rate over b's in the same round.
double ratio(const Candidate* a, const Candidate* b) {
    if (!a || !b)
        return std::nan("");
    std::vector<double> r;
    for (std::size_t i = 0; i < a->rate.size() && i < b->rate.size(); ++i)
        r.push_back(a->rate[i] / b->rate[i]);
    return median(r);
}

std::string figure(double v) {
    if (std::isnan(v))
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, v >= 100 ? "%.0f" : v >= 10 ? "%.1f" : "%.2f", v);
    return text;
}

// Where an output block starts relative to its input block within a 4 KB page: round r uses
// STAGGER_BYTES[r % 8]. A load that follows a store to an address a multiple of 4 KB away waits
// on it, so every kernel's speed depends on this placement; all candidates of a round share it.
constexpr long STAGGER_BYTES[] = {192, 704, 1216, 1728, 2240, 2752, 3264, 3776};
constexpr int PLACEMENTS = static_cast<int>(std::size(STAGGER_BYTES));

// An input block (rows of n samples) and an output block placed anew for each round.
struct Blocks {
    Blocks(long input_rows, long output_rows, long n)
        : n_(n), inputs(make_buffer(input_rows * n)),
          outputs(make_buffer(output_rows * n + PAGE_FLOATS)),
          in(static_cast<std::size_t>(input_rows)), out(static_cast<std::size_t>(output_rows)) {
        for (long c = 0; c < input_rows; ++c)
            in[static_cast<std::size_t>(c)] = &inputs[c * n];
        place(0);
    }
    void place(int round) {
        const auto page = static_cast<long>(reinterpret_cast<std::uintptr_t>(inputs.get()) % 4096);
        const long from = static_cast<long>(reinterpret_cast<std::uintptr_t>(outputs.get()) % 4096);
        const long want = (page + STAGGER_BYTES[round % PLACEMENTS]) % 4096;
        out_base = outputs.get() + (want - from + 4096) % 4096 / sizeof(float);
        for (std::size_t k = 0; k < out.size(); ++k)
            out[k] = out_base + static_cast<long>(k) * n_;
    }
    static constexpr long PAGE_FLOATS = 4096 / sizeof(float);
    long n_;
    Buffer inputs;
    Buffer outputs;
    float* out_base = nullptr;
    std::vector<const float*> in;
    std::vector<float*> out;
};

void run_rounds(std::vector<Candidate>& candidates, int rounds, Blocks& blocks) {
    for (Candidate& c : candidates) {
        c.call(); // warm the caches and the branch predictors
        calibrate(c);
    }
    for (int r = 0; r < rounds; ++r) {
        blocks.place(r);
        for (Candidate& c : candidates)
            time_once(c);
    }
}

Candidate* find(std::vector<Candidate>& candidates, const std::string& name) {
    for (Candidate& c : candidates)
        if (c.name == name)
            return &c;
    return nullptr;
}

// What the machine offers, found once.
struct Machine {
    bool avx2 = false;
    bool avx512 = false;
    KernelPath tovo = KERNEL_BASELINE; // the path the plug-ins take
    OpenBlas blas_best;
    OpenBlas blas_detected;
    std::string eigen_best_name;
};

std::string peak_name(KernelPath path) {
    return std::string("fma peak ") + kernel_path_name(path);
}

std::string tovo_name(KernelPath path) {
    return std::string("tovo ") + kernel_path_name(path);
}

void add_peaks(std::vector<Candidate>& candidates, const Machine& m, volatile float& sink) {
    if (m.avx512)
        candidates.push_back({peak_name(KERNEL_AVX512),
                              [&sink] { sink = sink + fma_peak_avx512(PEAK_ROUNDS); },
                              double(PEAK_ROUNDS * AVX512_MADDS_PER_ROUND)});
    if (m.avx2)
        candidates.push_back({peak_name(KERNEL_AVX2),
                              [&sink] { sink = sink + fma_peak_avx2(PEAK_ROUNDS); },
                              double(PEAK_ROUNDS * AVX2_MADDS_PER_ROUND)});
}

// The name of OpenBLAS's candidate with its best kernels forced; `label` says what it computes.
std::string blas_forced_name(const Machine& m, const std::string& label) {
    return "openblas sgemm" + label + ", " + m.blas_best.core + " forced";
}

// What a user would pick instead of the package's loops for a dense product, feeds (rows x n)
// = matrix (rows x columns, row-major) times the blocks' inputs (columns x n), into the blocks'
// outputs: OpenBLAS with its best kernels forced and with its own detection, and each Eigen build
// the machine runs. `label` follows each library's name.
void add_library_products(std::vector<Candidate>& candidates, const Machine& m, const float* matrix,
                          int rows, int columns, long n, Blocks& blocks, double work,
                          const std::string& label) {
    for (const OpenBlas* blas : {&m.blas_best, &m.blas_detected}) {
        if (!blas->sgemm)
            continue;
        const int samples = static_cast<int>(n);
        candidates.emplace_back(
            blas == &m.blas_best ? blas_forced_name(m, label)
                                 : "openblas sgemm" + label + ", " + blas->core + " detected",
            [=, &blocks] {
                blas->sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, rows, samples, columns, 1.0f,
                            matrix, columns, blocks.inputs.get(), samples, 0.0f, blocks.out_base,
                            samples);
            },
            work);
    }
    struct EigenBuild {
        const char* name;
        EigenProduct product;
        bool runs;
    };
    for (const EigenBuild& e : {EigenBuild{"eigen avx512", eigen_product_avx512, m.avx512},
                                EigenBuild{"eigen avx2", eigen_product_avx2, m.avx2},
                                EigenBuild{"eigen baseline", eigen_product_baseline, true}}) {
        if (!e.runs)
            continue;
        EigenProduct product = e.product;
        candidates.emplace_back(
            e.name + label,
            [=, &blocks] {
                product(matrix, blocks.inputs.get(), blocks.out_base, rows, columns, n);
            },
            work);
    }
}

struct Shape {
    std::int32_t channels;
    std::int32_t speakers;
    long n;
    std::int32_t order; // of the 3-D format with that many channels
};

std::string shape_name(const char* kind, int from, int to, long n) {
    return std::string(kind) + "-" + std::to_string(from) + "to" + std::to_string(to) + "-n" +
           std::to_string(n);
}

void print_table(const std::string& title, std::vector<Candidate>& candidates, const char* unit,
                 bool against_peaks) {
    // "fastest": the best round's rate, which shows what the machine does undisturbed when
    // other work shares it and the medians suffer.
    std::printf("\n%s\n", title.c_str());
    std::printf("  %-40s %12s %12s %12s", "candidate", "ns/vector", unit, "fastest");
    const Candidate* peak512 = find(candidates, peak_name(KERNEL_AVX512));
    const Candidate* peak2 = find(candidates, peak_name(KERNEL_AVX2));
    if (against_peaks)
        std::printf(" %14s %14s", "/avx512 peak", "/avx2 peak");
    std::printf("\n");
    for (Candidate& c : candidates) {
        std::printf("  %-40s %12s %12s %12s", c.name.c_str(), figure(median(c.ns)).c_str(),
                    figure(median(c.rate)).c_str(),
                    figure(*std::max_element(c.rate.begin(), c.rate.end())).c_str());
        if (against_peaks)
            std::printf(" %14s %14s", figure(ratio(&c, peak512)).c_str(),
                        figure(ratio(&c, peak2)).c_str());
        std::printf("\n");
    }
}

// Decoder shapes: the kernels at every path, their coefficient work alone, the plain loops,
// OpenBLAS and Eigen on the same product and the same buffers; and the plug-in's own path on
// buffers laid out as the host lays them out.
void bench_decoder(const Shape& s, const Machine& m, int rounds,
                   std::vector<std::string>& summary) {
    const long n = s.n;
    Blocks blocks(s.channels, s.speakers, n);
    std::uint32_t state = 12345;
    auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return static_cast<float>(state >> 8) / 8388608.0f - 1.0f; // [-1, 1)
    };
    for (long i = 0; i < s.channels * n; ++i)
        blocks.inputs[i] = next();

    // A 3-D layout: speakers on a spiral over the sphere, the default flavour.
    const AmbiFormat format = ambi_format(3, s.order);
    float order_weights[ORDER_WEIGHT_COUNT];
    float channel_weights[MAX_CHANNELS] = {};
    decoder_apply_flavour(format, FLAVOUR_DEFAULT, order_weights, channel_weights);
    float rows[MAX_SPEAKERS][MAX_CHANNELS] = {};
    for (std::int32_t k = 0; k < s.speakers; ++k) {
        const double height = 1.0 - (2.0 * k + 1.0) / s.speakers;
        ambi_weights(s.order, 3, static_cast<float>(GOLDEN_ANGLE_RAD * k),
                     static_cast<float>(std::asin(height)), rows[k]);
    }
    const float gain = 1.0f;
    const float width = 0.5f;

    // The same coefficients as a matrix for the libraries, W in column 0.
    std::vector<float> matrix(static_cast<std::size_t>(s.speakers * s.channels));
    float w_coefficient = 0.0f;
    float coefficients[MAX_SPEAKERS][MAX_CHANNELS];
    KERNELS_BASELINE.decode_coefficients(s.channels, s.speakers, gain, width, rows, channel_weights,
                                         &w_coefficient, coefficients);
    for (std::int32_t k = 0; k < s.speakers; ++k) {
        matrix[k * s.channels] = w_coefficient;
        for (std::int32_t c = 1; c < s.channels; ++c)
            matrix[k * s.channels + c] = coefficients[k][c];
    }
    Buffer reference = make_buffer(s.speakers * n);
    std::vector<float*> reference_out;
    for (std::int32_t k = 0; k < s.speakers; ++k)
        reference_out.push_back(&reference[k * n]);
    KERNELS_BASELINE.decode_vector(s.channels, s.speakers, gain, width, rows, channel_weights,
                                   blocks.in.data(), reference_out.data(), n);

    // The host's buffers: one allocation per signal, upstream outlets first.
    std::vector<host::SignalBuffer> host_buffers;
    std::vector<const float*> host_in;
    std::vector<float*> host_out;
    for (std::int32_t c = 0; c < s.channels; ++c) {
        host_buffers.push_back(host::make_signal_buffer(n));
        std::copy(blocks.in[c], blocks.in[c] + n, host_buffers.back().get());
        host_in.push_back(host_buffers.back().get());
    }
    for (std::int32_t k = 0; k < s.speakers; ++k) {
        host_buffers.push_back(host::make_signal_buffer(n));
        host_out.push_back(host_buffers.back().get());
    }

    // The decoder's own matrix, the W coefficient in each row's entry 0, as the plug-in keeps it
    // between changes of its settings.
    alignas(64) float kept[MAX_SPEAKERS][MAX_CHANNELS] = {};
    for (std::int32_t k = 0; k < s.speakers; ++k) {
        std::copy(coefficients[k], coefficients[k] + MAX_CHANNELS, kept[k]);
        kept[k][0] = w_coefficient;
    }

    const double work = double(s.channels) * s.speakers * n;
    std::vector<Candidate> candidates;
    volatile float sink = 0.0f;
    add_peaks(candidates, m, sink);
    // Every path as the plug-in runs it while the settings stand: the kept matrix applied.
    for (int p = KERNEL_PATH_COUNT - 1; p >= 0; --p) {
        const auto path = static_cast<KernelPath>(p);
        if (!kernel_path_supported(path))
            continue;
        candidates.emplace_back(
            tovo_name(path),
            [=, &kept, &blocks] {
                kernels(path).decode_matrix(s.channels, s.speakers, kept, blocks.in.data(),
                                            blocks.out.data(), n);
            },
            work);
    }
    const std::string host_name = tovo_name(m.tovo) + ", the host's buffers";
    candidates.emplace_back(
        host_name,
        [=, &kept, &host_in, &host_out] {
            kernels(m.tovo).decode_matrix(s.channels, s.speakers, kept, host_in.data(),
                                          host_out.data(), n);
        },
        work);
    // A vector after a change: the matrix formed again, then applied.
    alignas(64) float formed[MAX_SPEAKERS][MAX_CHANNELS] = {};
    const std::string change_name = tovo_name(m.tovo) + ", a change every vector";
    candidates.emplace_back(
        change_name,
        [=, &rows, &channel_weights, &formed, &blocks] {
            const KernelTable& kernel = kernels(m.tovo);
            float w = 0.0f;
            kernel.decode_coefficients(s.channels, s.speakers, gain, width, rows, channel_weights,
                                       &w, formed);
            for (std::int32_t k = 0; k < s.speakers; ++k)
                formed[k][0] = w;
            kernel.decode_matrix(s.channels, s.speakers, formed, blocks.in.data(),
                                 blocks.out.data(), n);
        },
        work);
    float coefficient_out[MAX_SPEAKERS][MAX_CHANNELS];
    float w_out = 0.0f;
    const std::string coefficient_name = tovo_name(m.tovo) + ", coefficients alone";
    candidates.emplace_back(
        coefficient_name,
        [=, &rows, &channel_weights, &coefficient_out, &w_out] {
            kernels(m.tovo).decode_coefficients(s.channels, s.speakers, gain, width, rows,
                                                channel_weights, &w_out, coefficient_out);
        },
        work);
    const std::string plain_name = "plain, sum in double (-O2 baseline)";
    candidates.emplace_back(
        plain_name,
        [=, &rows, &channel_weights, &blocks] {
            plain_decode_in_double(s.channels, s.speakers, gain, width, rows, channel_weights,
                                   blocks.in.data(), blocks.out.data(), n);
        },
        work);
    candidates.emplace_back(
        "plain, fma call (-O2 baseline)",
        [=, &rows, &channel_weights, &blocks] {
            plain_decode_fma_call(s.channels, s.speakers, gain, width, rows, channel_weights,
                                  blocks.in.data(), blocks.out.data(), n);
        },
        work);
    add_library_products(candidates, m, matrix.data(), s.speakers, s.channels, n, blocks, work, "");
    const std::string blas_name = blas_forced_name(m, "");

    // Every candidate that decodes must give the feeds the law gives.
    for (Candidate& cand : candidates) {
        if (cand.name.rfind("fma peak", 0) == 0 || cand.name == coefficient_name)
            continue;
        for (float* feed : blocks.out)
            std::fill(feed, feed + n, 0.0f);
        cand.call();
        const bool on_host = cand.name == host_name;
        float worst = 0.0f;
        for (std::int32_t k = 0; k < s.speakers; ++k)
            for (long j = 0; j < n; ++j)
                worst = std::max(worst, std::fabs((on_host ? host_out : blocks.out)[k][j] -
                                                  reference[k * n + j]));
        if (!(worst <= AGREEMENT))
            std::printf("warning: %s differs from the law by %g\n", cand.name.c_str(),
                        static_cast<double>(worst));
    }

    run_rounds(candidates, rounds, blocks);
    const std::string name = shape_name("decode", s.channels, s.speakers, n);
    print_table(name + ": " + std::to_string(s.channels) + " channels to " +
                    std::to_string(s.speakers) + " speakers, vectors of " + std::to_string(n) +
                    " (the libraries get the coefficients ready-made)",
                candidates, "G madd/s", true);

    Candidate* tovo = find(candidates, tovo_name(m.tovo));
    const Candidate* coefficient_only = find(candidates, coefficient_name);
    const Candidate* changing = find(candidates, change_name);
    std::vector<double> share, change_cost;
    for (std::size_t r = 0; r < tovo->ns.size(); ++r) {
        share.push_back(coefficient_only->ns[r] / changing->ns[r]);
        change_cost.push_back(changing->ns[r] / tovo->ns[r]);
    }
    std::printf("  a vector after a change costs %s of one with the settings standing; the "
                "coefficients take %s of it (%s path)\n",
                figure(median(change_cost)).c_str(), figure(median(share)).c_str(),
                kernel_path_name(m.tovo));
    const Candidate* peak =
        m.tovo == KERNEL_BASELINE ? nullptr : find(candidates, peak_name(m.tovo));
    summary.push_back("summary " + name + ": tovo/peak " + figure(ratio(tovo, peak)) +
                      ", tovo/openblas " + figure(ratio(tovo, find(candidates, blas_name))) +
                      ", tovo/eigen " + figure(ratio(tovo, find(candidates, m.eigen_best_name))) +
                      ", tovo/plain " + figure(ratio(tovo, find(candidates, plain_name))));
}

// Encoder shapes: the kernels at every path against the store rate of the first-level cache.
void bench_encoder(std::int32_t channels, long n, const Machine& m, int rounds,
                   std::vector<std::string>& summary) {
    Blocks blocks(1, channels, n);
    for (long j = 0; j < n; ++j)
        blocks.inputs[j] = std::sin(0.01f * static_cast<float>(j));
    float weights[MAX_CHANNELS] = {0.70710677f};
    ambi_weights(3, 3, 0.5f, 0.25f, weights);

    const double floats = double(channels) * n;
    std::vector<Candidate> candidates;
    Buffer store_area = make_buffer(STORE_FLOATS);
    float* area = store_area.get();
    const long passes = std::max(1L, static_cast<long>(floats) / STORE_FLOATS);
    const double stored = double(passes * STORE_FLOATS);
    if (m.avx512)
        candidates.emplace_back(
            "L1 store avx512", [=] { store_avx512(area, STORE_FLOATS, passes); }, stored);
    if (m.avx2)
        candidates.emplace_back(
            "L1 store avx2", [=] { store_avx2(area, STORE_FLOATS, passes); }, stored);
    candidates.emplace_back(
        "L1 store baseline", [=] { store_sse2(area, STORE_FLOATS, passes); }, stored);
    // The widest stores again, one call writing no more than the encoder writes: what any routine
    // that stores this vector's floats pays per call beside the long loop above (not a ratio's
    // yardstick).
    const long per_call = (static_cast<long>(floats) + 127) / 128 * 128;
    if (per_call < STORE_FLOATS) {
        if (m.avx512)
            candidates.emplace_back(
                "L1 store avx512, as many floats a call", [=] { store_avx512(area, per_call, 1); },
                double(per_call));
        else if (m.avx2)
            candidates.emplace_back(
                "L1 store avx2, as many floats a call", [=] { store_avx2(area, per_call, 1); },
                double(per_call));
    }
    for (int p = KERNEL_PATH_COUNT - 1; p >= 0; --p) {
        const auto path = static_cast<KernelPath>(p);
        if (!kernel_path_supported(path))
            continue;
        candidates.emplace_back(
            tovo_name(path),
            [=, &weights, &blocks] {
                kernels(path).encode_vector(channels, weights, blocks.in[0], blocks.out.data(), n);
            },
            floats);
    }
    run_rounds(candidates, rounds, blocks);
    const std::string name = shape_name("encode", 1, channels, n);
    print_table(name + ": 1 input to " + std::to_string(channels) + " channels, vectors of " +
                    std::to_string(n),
                candidates, "G floats/s", false);
    // The store rate: the widest stores this CPU makes, first in the table.
    summary.push_back("summary " + name + ": tovo/store " +
                      figure(ratio(find(candidates, tovo_name(m.tovo)), &candidates.front())));
}

// The field rotator, 3-D third order: held coefficients, and a new rotation each vector (one
// ramp), against the dense 16x16 product by OpenBLAS and Eigen and against the peak. Work is the
// block-diagonal multiply-adds, 83 per sample; the libraries do 256 per sample for the same
// result.
void bench_rotator(long n, const Machine& m, int rounds, std::vector<std::string>& summary) {
    constexpr std::int32_t ORDER = 3, CHANNELS = 16;
    Blocks blocks(CHANNELS, CHANNELS, n);
    std::uint32_t state = 4321;
    for (long i = 0; i < CHANNELS * n; ++i) {
        state = state * 1664525u + 1013904223u;
        blocks.inputs[i] = static_cast<float>(state >> 8) / 8388608.0f - 1.0f;
    }
    // Two rotations 3 degrees apart, one ramp between them.
    const Quaternion from{0.9, 0.3, -0.2, 0.2};
    Quaternion a = from, b{0.89, 0.31, -0.19, 0.23};
    quat_unit(a);
    quat_unit(b);
    double exact[MAX_ROTATION_COEFFICIENTS];
    float held[MAX_ROTATION_COEFFICIENTS] = {}, target[MAX_ROTATION_COEFFICIENTS] = {};
    field_rotation(ORDER, 3, a, exact);
    for (int k = 0; k < MAX_ROTATION_COEFFICIENTS; ++k)
        held[k] = static_cast<float>(exact[k]);
    field_rotation(ORDER, 3, b, exact);
    for (int k = 0; k < MAX_ROTATION_COEFFICIENTS; ++k)
        target[k] = static_cast<float>(exact[k]);

    // The same rotation as a dense matrix for the libraries, W on the diagonal.
    std::vector<float> matrix(CHANNELS * CHANNELS, 0.0f);
    matrix[0] = 1.0f;
    const float* c = held;
    for (std::int32_t order = 1; order <= ORDER; ++order) {
        int ch[MAX_BLOCK];
        const int size = rotation_block(ORDER, 3, order, ch);
        for (int r = 0; r < size; ++r)
            for (int k = 0; k < size; ++k)
                matrix[ch[r] * CHANNELS + ch[k]] = c[r * size + k];
        c += size * size;
    }
    const double work = double(rotation_coefficient_count(ORDER, 3)) * n;
    std::vector<Candidate> candidates;
    volatile float sink = 0.0f;
    add_peaks(candidates, m, sink);
    const std::string steady_name = tovo_name(m.tovo) + ", rotation held";
    const std::string ramp_name = tovo_name(m.tovo) + ", a new rotation (one ramp)";
    for (int p = KERNEL_PATH_COUNT - 1; p >= 0; --p) {
        const auto path = static_cast<KernelPath>(p);
        if (!kernel_path_supported(path))
            continue;
        candidates.emplace_back(
            tovo_name(path) + ", rotation held",
            [=, &held, &blocks] {
                kernels(path).rotate_steady(ORDER, 3, held, blocks.in.data(), blocks.out.data(), n);
            },
            work);
    }
    candidates.emplace_back(
        ramp_name,
        [=, &held, &target, &blocks] {
            kernels(m.tovo).rotate_ramp(ORDER, 3, held, target, blocks.in.data(), blocks.out.data(),
                                        0, n);
        },
        work);
    add_library_products(candidates, m, matrix.data(), CHANNELS, CHANNELS, n, blocks, work,
                         " 16x16");
    const std::string blas_name = blas_forced_name(m, " 16x16");

    // The libraries must give the rotated field the loops give.
    std::vector<float> reference(static_cast<std::size_t>(CHANNELS * n));
    kernels(m.tovo).rotate_steady(ORDER, 3, held, blocks.in.data(), blocks.out.data(), n);
    for (std::int32_t ch = 0; ch < CHANNELS; ++ch)
        std::copy(blocks.out[ch], blocks.out[ch] + n, reference.begin() + ch * n);
    for (Candidate& cand : candidates) {
        if (cand.name.rfind("openblas", 0) != 0 && cand.name.rfind("eigen", 0) != 0)
            continue;
        cand.call();
        float worst = 0.0f;
        for (long i = 0; i < CHANNELS * n; ++i)
            worst = std::max(worst, std::fabs(blocks.out_base[i] - reference[i]));
        if (!(worst <= AGREEMENT))
            std::printf("warning: %s differs from the rotation by %g\n", cand.name.c_str(),
                        static_cast<double>(worst));
    }

    run_rounds(candidates, rounds, blocks);
    const std::string name = "rotate-3d3rd-n" + std::to_string(n);
    print_table(name + ": a 3-D third-order field turned, vectors of " + std::to_string(n) +
                    " (83 multiply-adds a sample; the libraries do the dense 256)",
                candidates, "G madd/s", true);
    const Candidate* steady = find(candidates, steady_name);
    const Candidate* peak = m.avx512 ? find(candidates, peak_name(KERNEL_AVX512))
                            : m.avx2 ? find(candidates, peak_name(KERNEL_AVX2))
                                     : nullptr;
    // A library's whole product against the rotator's: the time ratio, rate taken on equal work.
    summary.push_back("summary " + name + ": tovo/peak " + figure(ratio(steady, peak)) +
                      ", tovo/openblas " + figure(ratio(steady, find(candidates, blas_name))) +
                      ", tovo/eigen " +
                      figure(ratio(steady, find(candidates, m.eigen_best_name + " 16x16"))));
    summary.push_back("summary " + name + "-ramp: ramp/steady " +
                      figure(1.0 / ratio(find(candidates, ramp_name), steady)));
}

// The first line of a /proc file that starts with `key` ("" when there is none).
std::string proc_line(const char* file, const char* key) {
    std::FILE* f = std::fopen(file, "r");
    if (!f)
        return "";
    char line[512];
    std::string found;
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, key, std::strlen(key)) == 0) {
            found = line;
            found.erase(found.find_last_not_of("\n") + 1);
            break;
        }
    std::fclose(f);
    return found;
}

void pin_to_this_cpu() {
    const int cpu = sched_getcpu();
    if (cpu < 0)
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

} // namespace

int main(int argc, char** argv) {
    int rounds = DEFAULT_ROUNDS;
    // --only KIND: the shapes of one kind alone ("decode", "encode", "rotate" or "binaural").
    std::string only;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            only = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--rounds N] [--only decode|encode|rotate|binaural]\n",
                         argv[0]);
            return 2;
        }
    }
    const auto runs = [&only](const char* kind) { return only.empty() || only == kind; };
    pin_to_this_cpu();

    Machine m;
    m.avx2 = kernel_path_supported(KERNEL_AVX2);
    m.avx512 = kernel_path_supported(KERNEL_AVX512);
    m.tovo = kernel_path();
    if (const char* core = best_openblas_core())
        m.blas_best = load_openblas(core);
    m.blas_detected = load_openblas(nullptr);
    m.eigen_best_name = m.avx512 ? "eigen avx512" : m.avx2 ? "eigen avx2" : "eigen baseline";

    std::printf("tovo-bench: %d rounds, medians; ratios taken within each round\n", rounds);
    const std::string model = proc_line("/proc/cpuinfo", "model name");
    std::printf("cpu: %s; load average at start: %s\n",
                model.empty() ? "unknown" : model.substr(model.find(':') + 2).c_str(),
                proc_line("/proc/loadavg", "").substr(0, 4).c_str());
    std::printf("paths this CPU runs:");
    for (int p = 0; p < KERNEL_PATH_COUNT; ++p)
        if (kernel_path_supported(static_cast<KernelPath>(p)))
            std::printf(" %s", kernel_path_name(static_cast<KernelPath>(p)));
    std::printf("; the plug-ins take %s\n", kernel_path_name(m.tovo));
    if (!m.avx512)
        std::printf("no AVX-512 on this CPU: its path and peak are not measured\n");
    std::printf("openblas: best kernels %s, detection %s\n",
                m.blas_best.sgemm ? m.blas_best.core.c_str() : "not loaded",
                m.blas_detected.sgemm ? m.blas_detected.core.c_str() : "not loaded");

    const Shape decoder_shapes[] = {{16, 32, 64, 3},  {9, 16, 64, 2},  {4, 8, 64, 1},
                                    {16, 32, 512, 3}, {9, 16, 512, 2}, {4, 8, 512, 1}};
    std::vector<std::string> summary;
    if (runs("decode"))
        for (const Shape& s : decoder_shapes)
            bench_decoder(s, m, rounds, summary);
    if (runs("encode"))
        for (long n : {64L, 512L})
            for (std::int32_t channels : {16, 9, 4})
                bench_encoder(channels, n, m, rounds, summary);
    if (runs("rotate"))
        bench_rotator(64, m, rounds, summary);
    if (runs("binaural"))
        for (long n : {64L, 512L})
            bench_binaural(n, std::max(3, rounds / 10), summary);
    std::printf("\n");
    for (const std::string& line : summary)
        std::printf("%s\n", line.c_str());
    return 0;
}
