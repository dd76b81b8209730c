// SPDX-License-Identifier: GPL-3.0-or-later
// tovo.ambi.binaural~: renders an ambisonic field for headphones. One signal inlet per channel
// (W leftmost) and two signal outlets, left ear leftmost; each ear is the sum of the channels
// convolved with filters fitted to a measured set of head-related responses (a SOFA file).
#include "binaural_sets.hpp"
#include "convolver.hpp"
#include "hrir_set.hpp"
#include "plugin_glue.hpp"
#include "weights.hpp"
#include <tovo/api.hpp>
#include <tovo/relaxed.hpp>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>

namespace tovo {
using namespace host;
using namespace ambi;

// The message side's part: the set's design, and the convolution the chain runs, made at "dsp".
// The perform routine reads `convolver` and owns `current` while the chain runs.
struct BinauralState {
    std::string path;
    std::shared_ptr<const BinauralDesign> design; // the latest set read
    std::unique_ptr<Convolver> convolver;
    const BinauralDesign* convolver_design = nullptr; // the design the convolver was made for
    FilterSpectra* current = nullptr;
};

struct AmbiBinaural {
    SignalObject z;
    AmbiFormat format;
    float gain;
    BinauralState* state;
    // A new set on its way to the perform routine, which takes it at a vector boundary, and the
    // set it replaced, on its way back to be freed here. Each is written whole by one side and
    // taken by the other; the perform routine takes a new set only once the last one it gave
    // back has been collected, so neither slot is ever overwritten while full.
    FilterSpectra* pending;
    FilterSpectra* retired;
    void** dsp_args; // perform arguments of the last "dsp"; released at the next one
};
static_assert(std::is_standard_layout_v<AmbiBinaural> &&
              std::is_trivially_default_constructible_v<AmbiBinaural>);

Class* ambi_binaural_class;

FilterSpectra* take(FilterSpectra*& slot) {
    return std::atomic_ref<FilterSpectra*>(slot).exchange(nullptr, std::memory_order_acq_rel);
}

// Frees the set the perform routine gave back, if any.
void binaural_collect(AmbiBinaural* x) {
    delete take(x->retired);
}

// The chain's rate where filters can be made for it; until the chain runs, the nearest such.
double binaural_rate_now() {
    const double rate = sys_getsr();
    return rate < MIN_RATE_HZ ? MIN_RATE_HZ : rate > MAX_RATE_HZ ? MAX_RATE_HZ : rate;
}

// The design of the box's format for `path` at `rate`, or null after one error line that names
// the file and says why it is no set.
std::shared_ptr<const BinauralDesign> binaural_read(AmbiBinaural* x, const std::string& path,
                                                    double rate) {
    std::string reason;
    auto design = binaural_design_for(path, rate, x->format, reason);
    if (design)
        return design;
    if (path == DEFAULT_SOFA_PATH)
        error("tovo.ambi.binaural~: can't read %s: %s (the default set comes with Debian's "
              "package %s)",
              path.c_str(), reason.c_str(), DEFAULT_SOFA_PACKAGE);
    else
        error("tovo.ambi.binaural~: can't read %s: %s", path.c_str(), reason.c_str());
    return nullptr;
}

void* ambi_binaural_new(Symbol*, short argc, Atom* argv) {
    std::string path = DEFAULT_SOFA_PATH;
    const AmbiFormat format = read_creation_format(argc, argv, [&](const Atom& a) {
        if (a.a_type == A_SYM)
            path = a.a_w.w_sym->s_name; // any other word names the set; the last one counts
    });

    auto* x = static_cast<AmbiBinaural*>(newobject(ambi_binaural_class));
    if (!x)
        return nullptr;
    x->format = format;
    x->gain = 1.0f;
    x->state = new BinauralState;
    x->state->path = path;
    x->state->design = binaural_read(x, path, binaural_rate_now());
    z_dsp_setup(&x->z, static_cast<short>(x->format.channel_count));
    if (!x->state->design) {
        // No box without a set. The host runs no free routine for a box it never got.
        delete x->state;
        freeobject(x);
        return nullptr;
    }
    outlet_new(x, "signal"); // right ear
    outlet_new(x, "signal"); // left ear, leftmost
    // Outlets may share the inlets' buffers: every input is copied in before an output is
    // written.
    return x;
}

void ambi_binaural_free(AmbiBinaural* x) {
    z_dsp_free(&x->z);
    delete take(x->pending);
    binaural_collect(x);
    if (x->state) {
        delete x->state->current;
        delete x->state;
        x->state = nullptr;
    }
    free_perform_args(x->dsp_args);
}

// open PATH: reads another set; the perform routine changes over at a vector boundary, fading
// from the old set to the new one across that vector. A file that is no set leaves the current
// one playing.
void ambi_binaural_open(AmbiBinaural* x, Symbol*, short argc, Atom* argv) {
    if (argc < 1 || argv[0].a_type != A_SYM) {
        error("tovo.ambi.binaural~: open: give the path of a SOFA file");
        return;
    }
    BinauralState* st = x->state;
    binaural_collect(x);
    const std::string path = argv[0].a_w.w_sym->s_name;
    // A running convolution takes filters at its own rate; the chain's rate otherwise.
    const double rate = st->convolver ? st->design->filters.sample_rate : binaural_rate_now();
    auto design = binaural_read(x, path, rate);
    if (!design)
        return;
    st->path = path;
    if (design == st->design)
        return;
    st->design = design;
    if (!st->convolver)
        return;
    FilterSpectra* next = st->convolver->make_spectra(design->filters);
    if (!next) {
        error("tovo.ambi.binaural~: out of memory for the filters of %s", path.c_str());
        return;
    }
    // A set handed over before and not yet taken is simply replaced.
    delete std::atomic_ref<FilterSpectra*>(x->pending).exchange(next, std::memory_order_acq_rel);
}

void ambi_binaural_gain(AmbiBinaural* x, double value) {
    // The gain stays finite, so silence in gives silence out whatever the setting.
    if (std::isnan(value))
        return;
    store_relaxed(x->gain, held_setting(value));
}

void ambi_binaural_dump(AmbiBinaural* x) {
    binaural_collect(x);
    const AmbiFormat& f = x->format;
    const BinauralDesign& d = *x->state->design;
    static const char* const ORDINALS[] = {"", "1st", "2nd", "3rd"};
    post("--- properties of ambi.binaural~:");
    post("%ld-D %s order, from %ld channels to 2 ears", static_cast<long>(f.dimension),
         ORDINALS[f.order], static_cast<long>(f.channel_count));
    post("file: %s, %ld measurements at %g Hz", d.path.c_str(), static_cast<long>(d.measurements),
         d.file_rate);
    post("sample rate: %g Hz, filter length: %ld samples, latency: %ld samples",
         d.filters.sample_rate, static_cast<long>(d.filters.taps),
         static_cast<long>(d.filters.latency));
    post("gain: %f", static_cast<double>(load_relaxed(x->gain)));
}

// Arguments: instance, vector length, entry count, the channel_count inlet vectors, then the
// left and the right ear's outlet vectors.
std::intptr_t* binaural_perform(std::intptr_t* w) {
    auto* x = reinterpret_cast<AmbiBinaural*>(w[1]);
    const long n = static_cast<long>(w[2]);
    const long entries = static_cast<long>(w[3]);
    const std::int32_t nc = x->format.channel_count;
    const float* in[MAX_CHANNELS];
    float* ears[2];
    perform_vectors(w, nc, in, 2, ears);
    float* left = ears[0];
    float* right = ears[1];
    BinauralState* st = x->state;
    Convolver* conv = st->convolver.get();
    if (!conv || !st->current || n != conv->block()) {
        for (long i = 0; i < n; ++i)
            left[i] = right[i] = 0.0f;
        return w + entries + 1;
    }
    FilterSpectra* before = nullptr;
    if (!std::atomic_ref<FilterSpectra*>(x->retired).load(std::memory_order_acquire)) {
        if (FilterSpectra* next = take(x->pending)) {
            before = st->current;
            st->current = next;
        }
    }
    conv->process(*st->current, before, in, left, right, load_relaxed(x->gain));
    if (before)
        std::atomic_ref<FilterSpectra*>(x->retired).store(before, std::memory_order_release);
    return w + entries + 1;
}

// Filters follow the chain's rate: a new rate reads the set again. The convolution is made
// anew when the vector size or the set changed, and otherwise keeps its past.
void binaural_prepare(AmbiBinaural* x, long block, double rate) {
    BinauralState* st = x->state;
    if (!(rate >= MIN_RATE_HZ && rate <= MAX_RATE_HZ)) {
        // No filters for such a rate: the ears stay silent until the chain runs at another.
        error("tovo.ambi.binaural~: no filters at %g Hz: the ears are silent (rates from %g to "
              "%g Hz)",
              rate, MIN_RATE_HZ, MAX_RATE_HZ);
        delete take(x->pending);
        binaural_collect(x);
        delete st->current;
        st->current = nullptr;
        st->convolver.reset();
        st->convolver_design = nullptr;
        return;
    }
    if (st->design->filters.sample_rate != rate)
        if (auto design = binaural_read(x, st->path, rate))
            st->design = design;
    delete take(x->pending); // the convolution below starts from the latest design anyway
    binaural_collect(x);
    if (st->convolver && st->convolver->block() == block &&
        st->convolver_design == st->design.get() && st->current)
        return;
    delete st->current;
    st->current = nullptr;
    st->convolver_design = nullptr;
    auto conv = std::make_unique<Convolver>();
    const BinauralFilters& filters = st->design->filters;
    FilterSpectra* spectra = nullptr;
    if (conv->prepare(static_cast<int>(block), x->format.channel_count, filters.taps))
        spectra = conv->make_spectra(filters);
    if (!spectra) {
        error("tovo.ambi.binaural~: out of memory for a convolution of %ld samples", block);
        st->convolver.reset();
        return;
    }
    st->convolver = std::move(conv);
    st->convolver_design = st->design.get();
    st->current = spectra;
}

void ambi_binaural_dsp(AmbiBinaural* x, Signal** sp, short*) {
    const std::int32_t nc = x->format.channel_count;
    binaural_prepare(x, sp[0]->s_n, sp[0]->s_sr);
    add_perform(x, x->dsp_args, binaural_perform, sp, nc + 2);
}

void ambi_binaural_assist(AmbiBinaural* x, void*, long kind, long index, char* text) {
    if (kind == 1 && index >= 0 && index < x->format.channel_count)
        sprintf(text, "encoded input, channel %c (signal)", x->format.letters[index]);
    else if (kind == 2 && (index == 0 || index == 1))
        sprintf(text, "%s ear (signal)", index == 0 ? "left" : "right");
}

} // namespace tovo

TOVO_EXPORT int main() {
    using namespace tovo;
    setup(&ambi_binaural_class, ambi_binaural_new, ambi_binaural_free, sizeof(AmbiBinaural), 0,
          A_GIMME, 0);
    addmess(ambi_binaural_open, "open", A_GIMME, 0);
    addmess(ambi_binaural_gain, "gain", A_FLOAT, 0);
    addmess(ambi_binaural_dump, "dump", 0);
    addmess(ambi_binaural_dsp, "dsp", A_CANT, 0);
    addmess(ambi_binaural_assist, "assist", A_CANT, 0);
    z_add_signalmethod();
    return 1;
}
