#include "audio/lowpass_avx2.h"

#include <cpuid.h>
#include <immintrin.h>

#define MV_AVX2 __attribute__((target("avx2,fma")))
// Inlined, so that no 256-bit value passes through the stack, which Windows
// aligns to 16 bytes only.
#define MV_AVX2_INLINE __attribute__((target("avx2,fma"), always_inline)) inline

namespace mv {

namespace {

bool cpu_runs_avx2_fma() noexcept {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    const bool fma = (ecx >> 12) & 1, osxsave = (ecx >> 27) & 1, avx = (ecx >> 28) & 1;
    if (!fma || !osxsave || !avx) return false;
    unsigned xcr0 = 0, high = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(high) : "c"(0));
    if ((xcr0 & 6) != 6) return false; // the system saves SSE and AVX state
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
    return (ebx >> 5) & 1;
}

// A frame (left, right) is 64 bits, so frames move as doubles do.
template <int kOrder> MV_AVX2_INLINE __m256 frames_from(__m256 v) noexcept {
    return _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(v), kOrder));
}

// The response of four frames to themselves alone (starting from silence),
// t_j = a x_j + b t_(j-1): first within each half of the vector (which costs
// the processor little), then frame 1 into frames 2 and 3.
MV_AVX2_INLINE __m256 own_response(__m256 x, __m256 va, __m256 vb, __m256 across) noexcept {
    __m256 t = _mm256_mul_ps(va, x);
    const __m256d frames = _mm256_castps_pd(t);
    t = _mm256_fmadd_ps(vb, _mm256_castpd_ps(_mm256_unpacklo_pd(_mm256_setzero_pd(), frames)), t);
    return _mm256_fmadd_ps(across, frames_from<_MM_SHUFFLE(1, 1, 0, 0)>(t), t);
}

} // namespace

const bool kLowpassAvx2 = cpu_runs_avx2_fma();

MV_AVX2 uint32_t lowpass_stereo_avx2(float a, const float gain[2], float *pcm, uint32_t frames,
                                     float state[2]) noexcept {
    const float b = 1.0f - a, b2 = b * b, b3 = b2 * b, b4 = b2 * b2, al = a * gain[0], ar = a * gain[1];
    const __m256 va = _mm256_setr_ps(al, ar, al, ar, al, ar, al, ar), vb = _mm256_set1_ps(b),
                 vb4 = _mm256_set1_ps(b4), vb8 = _mm256_set1_ps(b4 * b4);
    const __m256 across = _mm256_setr_ps(0, 0, 0, 0, b, b, b2, b2); // frame 1 into frames 2 and 3
    const __m256 decay = _mm256_setr_ps(b, b, b2, b2, b3, b3, b4, b4);
    // The output of the frame before the current pair of vectors, in every frame.
    __m256 before =
        _mm256_setr_ps(state[0], state[1], state[0], state[1], state[0], state[1], state[0], state[1]);
    const uint32_t done = frames / 8 * 8;
    for (uint32_t f = 0; f < done; f += 8) {
        float *at = pcm + 2 * static_cast<uint64_t>(f);
        const __m256 t0 = own_response(_mm256_loadu_ps(at), va, vb, across);
        const __m256 t1 = own_response(_mm256_loadu_ps(at + 8), va, vb, across);
        const __m256 last0 = frames_from<_MM_SHUFFLE(3, 3, 3, 3)>(t0);
        const __m256 last1 = frames_from<_MM_SHUFFLE(3, 3, 3, 3)>(t1);
        const __m256 between = _mm256_fmadd_ps(vb4, before, last0); // the output of frame 3
        _mm256_storeu_ps(at, _mm256_fmadd_ps(decay, before, t0));
        _mm256_storeu_ps(at + 8, _mm256_fmadd_ps(decay, between, t1));
        // The only step from one pair to the next: the older output decays by b^8.
        before = _mm256_fmadd_ps(vb8, before, _mm256_fmadd_ps(vb4, last0, last1));
    }
    float last[8];
    _mm256_storeu_ps(last, before);
    state[0] = last[0];
    state[1] = last[1];
    return done;
}

} // namespace mv
