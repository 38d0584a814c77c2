#include "audio/radio_avx2.h"

#include <immintrin.h>

#define MV_AVX2 __attribute__((target("avx2,fma")))
// Inlined, so that no 256-bit value passes through the stack, which Windows
// aligns to 16 bytes only.
#define MV_AVX2_INLINE __attribute__((target("avx2,fma"), always_inline)) inline

namespace mv {

namespace {

// A section's numbers as vectors of four stereo frames.
struct Section {
    __m256 b0, b1, b2, g1, g2, g3, from1, from2;
};

MV_AVX2_INLINE __m256 per_frame(const float (&v)[4]) noexcept {
    return _mm256_setr_ps(v[0], v[0], v[1], v[1], v[2], v[2], v[3], v[3]);
}

MV_AVX2_INLINE Section vectors(const Biquad &q) noexcept {
    return {_mm256_set1_ps(q.b0),         _mm256_set1_ps(q.b1),
            _mm256_set1_ps(q.b2),         _mm256_set1_ps(q.impulse[1]),
            _mm256_set1_ps(q.impulse[2]), _mm256_set1_ps(q.impulse[3]),
            per_frame(q.from1),           per_frame(q.from2)};
}

// A frame (left, right) is 64 bits, so frames move as doubles do.
MV_AVX2_INLINE __m256 pairs(__m256 a, __m256 b) noexcept { // a's frames 1 and 3 with b's 0 and 2
    return _mm256_castpd_ps(_mm256_shuffle_pd(_mm256_castps_pd(a), _mm256_castps_pd(b), 0b0101));
}

template <int kOrder> MV_AVX2_INLINE __m256 frames_from(__m256 v) noexcept {
    return _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(v), kOrder));
}

// Four frames of one section: in and its outputs, given the vectors before
// them (whose frames 2 and 3 are the two frames before these).
MV_AVX2_INLINE __m256 run(const Section &s, __m256 in, __m256 in_before, __m256 out_before) noexcept {
    const __m256 back2 = _mm256_permute2f128_ps(in_before, in, 0x21); // frames -2, -1, 0, 1
    const __m256 back1 = pairs(back2, in);                            // frames -1, 0, 1, 2
    const __m256 z = _mm256_fmadd_ps(s.b2, back2, _mm256_fmadd_ps(s.b1, back1, _mm256_mul_ps(s.b0, in)));
    // The recursion within the four frames, from z alone...
    const __m256 z2 = _mm256_permute2f128_ps(z, z, 0x08); // 0, 0, z0, z1
    const __m256 z1 = pairs(z2, z);                       // 0, z0, z1, z2
    const __m256 z3 = pairs(_mm256_setzero_ps(), z2);     // 0, 0, 0, z0
    const __m256 w = _mm256_fmadd_ps(s.g3, z3, _mm256_fmadd_ps(s.g2, z2, _mm256_fmadd_ps(s.g1, z1, z)));
    // ...and from the two outputs before them.
    const __m256 last = frames_from<_MM_SHUFFLE(3, 3, 3, 3)>(out_before);
    const __m256 before = frames_from<_MM_SHUFFLE(2, 2, 2, 2)>(out_before);
    return _mm256_fmadd_ps(s.from2, before, _mm256_fmadd_ps(s.from1, last, w));
}

// The two frames of memory of each channel as frames 2 and 3 of a vector.
MV_AVX2_INLINE __m256 memory(const float (&left)[2], const float (&right)[2]) noexcept {
    return _mm256_setr_ps(0, 0, 0, 0, left[1], right[1], left[0], right[0]);
}

MV_AVX2_INLINE void keep(__m256 v, float (&left)[2], float (&right)[2]) noexcept {
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, v);
    left[0] = lanes[6], right[0] = lanes[7], left[1] = lanes[4], right[1] = lanes[5];
}

} // namespace

MV_AVX2 uint32_t radio_stereo_avx2(const RadioFilter &filter, float amount, float *pcm, uint32_t frames,
                                   RadioState state[2]) noexcept {
    const uint32_t done = frames / 4 * 4;
    if (done == 0) return 0;
    const Section high = vectors(filter.high), low = vectors(filter.low);
    const __m256 share = _mm256_set1_ps(amount), drive = _mm256_set1_ps(kRadioDrive),
                 top = _mm256_set1_ps(1.0f), bottom = _mm256_set1_ps(-1.0f),
                 third = _mm256_set1_ps(1.0f / 3.0f), scale = _mm256_set1_ps(kRadioMakeUp / kRadioDrive);
    __m256 x_before = memory(state[0].x, state[1].x), h_before = memory(state[0].h, state[1].h),
           y_before = memory(state[0].y, state[1].y);
    for (uint32_t f = 0; f < done; f += 4) {
        float *at = pcm + 2 * static_cast<uint64_t>(f);
        const __m256 x = _mm256_loadu_ps(at);
        const __m256 h = run(high, x, x_before, h_before);
        const __m256 y = run(low, h, h_before, y_before);
        const __m256 u = _mm256_min_ps(_mm256_max_ps(_mm256_mul_ps(drive, y), bottom), top);
        const __m256 radio =
            _mm256_mul_ps(_mm256_fnmadd_ps(_mm256_mul_ps(_mm256_mul_ps(u, u), u), third, u), scale);
        _mm256_storeu_ps(at, _mm256_fmadd_ps(share, _mm256_sub_ps(radio, x), x));
        x_before = x, h_before = h, y_before = y;
    }
    keep(x_before, state[0].x, state[1].x);
    keep(h_before, state[0].h, state[1].h);
    keep(y_before, state[0].y, state[1].y);
    return done;
}

} // namespace mv
