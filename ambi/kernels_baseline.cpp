// SPDX-License-Identifier: GPL-3.0-or-later
// The baseline x86-64 path: four floats per vector, with no fused multiply-add instruction to
// lean on. Each fused step is made exactly from double precision instead, where the product of
// two floats is exact and one rounding of the sum is all that can go wrong.
#include "kernel_body.hpp"

#include <cmath>
#include <emmintrin.h>

namespace tovo::ambi {
namespace {

// The smallest normal float, 2^-126, as a double.
constexpr double FLOAT_MIN_NORMAL = 1.17549435082228750797e-38;

struct Baseline {
    static constexpr int LANES = 4;
    static constexpr int DOUBLE_LANES = 2;
    static constexpr int VECTOR_REGISTERS = 16;
    static constexpr int SPEAKER_TILE = 2;
    static constexpr int SAMPLE_TILE = 1;
    // The encoder's channels per pass, as on the AVX2 path.
    static constexpr int ENCODE_PASS = 4;
    struct In { // four samples widened to double, which is exact
        __m128d lo, hi;
    };
    using Coef = __m128d;
    using Acc = __m128;
    using Vec = __m128;

    static In load_in(const float* p) {
        const __m128 x = _mm_loadu_ps(p);
        return {_mm_cvtps_pd(x), _mm_cvtps_pd(_mm_movehl_ps(x, x))};
    }
    static Vec load(const float* p) { return _mm_loadu_ps(p); }
    static Coef broadcast(const float* p) { return _mm_set1_pd(*p); }
    static Vec splat(const float* p) { return _mm_set1_ps(*p); }
    static Acc narrow(__m128d lo, __m128d hi) {
        return _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi));
    }
    // The exact product, rounded once.
    static Acc mul(In x, Coef a) { return narrow(_mm_mul_pd(x.lo, a), _mm_mul_pd(x.hi, a)); }

    // A sum formed exactly but for its one rounding to double is off only where that rounding
    // landed it on a midpoint between two floats, since a midpoint is itself a double; the float
    // rounding then breaks a tie that the exact sum did not have. Sums in the subnormal range
    // have their midpoints at other bits. Both are rare: such lanes are redone by the library.
    static bool doubtful(__m128d lo, __m128d hi) {
        // The lowest 29 of the 52 fraction bits, in the low word of each double.
        const __m128i low_bits = _mm_set_epi32(0, 0x1fffffff, 0, 0x1fffffff);
        const __m128i midpoint = _mm_set_epi32(0, 0x10000000, 0, 0x10000000);
        const __m128i on_midpoint =
            _mm_or_si128(_mm_cmpeq_epi32(_mm_and_si128(_mm_castpd_si128(lo), low_bits), midpoint),
                         _mm_cmpeq_epi32(_mm_and_si128(_mm_castpd_si128(hi), low_bits), midpoint));
        const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffff));
        const __m128d min_normal = _mm_set1_pd(FLOAT_MIN_NORMAL);
        const __m128d zero = _mm_setzero_pd();
        const __m128d l = _mm_and_pd(lo, magnitude);
        const __m128d h = _mm_and_pd(hi, magnitude);
        const __m128d subnormal =
            _mm_or_pd(_mm_and_pd(_mm_cmplt_pd(l, min_normal), _mm_cmpgt_pd(l, zero)),
                      _mm_and_pd(_mm_cmplt_pd(h, min_normal), _mm_cmpgt_pd(h, zero)));
        // The high words compare 0 with 0: only the low words' bits, 0 and 2, count.
        return ((_mm_movemask_ps(_mm_castsi128_ps(on_midpoint)) & 0b0101) |
                _mm_movemask_pd(subnormal)) != 0;
    }

    [[gnu::noinline, gnu::cold]] static Acc madd_by_lane(In x, Coef q, Acc acc) {
        alignas(16) float xs[LANES];
        alignas(16) float sums[LANES];
        _mm_store_ps(xs, narrow(x.lo, x.hi));
        _mm_store_ps(sums, acc);
        const float qs = static_cast<float>(_mm_cvtsd_f64(q));
        for (int i = 0; i < LANES; ++i)
            sums[i] = std::fma(xs[i], qs, sums[i]);
        return _mm_load_ps(sums);
    }

    static Acc madd(In x, Coef q, Acc acc) {
        const __m128d lo = _mm_add_pd(_mm_mul_pd(x.lo, q), _mm_cvtps_pd(acc));
        const __m128d hi = _mm_add_pd(_mm_mul_pd(x.hi, q), _mm_cvtps_pd(_mm_movehl_ps(acc, acc)));
        if (doubtful(lo, hi)) [[unlikely]]
            return madd_by_lane(x, q, acc);
        return narrow(lo, hi);
    }
    static void store(float* p, Acc v) { _mm_storeu_ps(p, v); }
    static Vec mulv(Vec a, Vec b) { return _mm_mul_ps(a, b); }

    [[gnu::noinline, gnu::cold]] static Vec fmav_by_lane(Vec a, Vec b, Vec c) {
        alignas(16) float as[LANES], bs[LANES], cs[LANES];
        _mm_store_ps(as, a);
        _mm_store_ps(bs, b);
        _mm_store_ps(cs, c);
        for (int i = 0; i < LANES; ++i)
            cs[i] = std::fma(as[i], bs[i], cs[i]);
        return _mm_load_ps(cs);
    }

    // a * b + c rounded once, lane by lane, as madd forms it.
    static Vec fmav(Vec a, Vec b, Vec c) {
        const __m128d lo =
            _mm_add_pd(_mm_mul_pd(_mm_cvtps_pd(a), _mm_cvtps_pd(b)), _mm_cvtps_pd(c));
        const __m128d hi = _mm_add_pd(
            _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(a, a)), _mm_cvtps_pd(_mm_movehl_ps(b, b))),
            _mm_cvtps_pd(_mm_movehl_ps(c, c)));
        if (doubtful(lo, hi)) [[unlikely]]
            return fmav_by_lane(a, b, c);
        return narrow(lo, hi);
    }
    static Vec scale(Vec x, Vec g) { return _mm_add_ps(_mm_mul_ps(x, g), _mm_setzero_ps()); }
    static float madd1(float x, float q, float acc) { return std::fma(x, q, acc); }
    // out[c] = p[c] widened to double, two lanes at a time.
    static void widen(const float* p, int lanes, double* out) {
        for (int c = 0; c < lanes; c += DOUBLE_LANES)
            _mm_store_pd(out + c, _mm_setr_pd(load_whole(p[c]), load_whole(p[c + 1])));
    }
    // out[c] = ((bg * row[c]) * weights[c]) rounded once, two lanes at a time.
    static void coefficients(const float* row, const double* weights, double bg, int lanes,
                             float* out) {
        const __m128d scale = _mm_set1_pd(bg);
        for (int c = 0; c < lanes; c += DOUBLE_LANES) {
            const __m128d r = _mm_setr_pd(load_whole(row[c]), load_whole(row[c + 1]));
            const __m128d product = _mm_mul_pd(_mm_mul_pd(scale, r), _mm_load_pd(weights + c));
            _mm_storel_pi(reinterpret_cast<__m64*>(out + c), _mm_cvtpd_ps(product));
        }
    }
    static void leave() {}
};

} // namespace

const KernelTable KERNELS_BASELINE = kernel_table<Baseline>();

} // namespace tovo::ambi
