#include "audio/lowpass.h"

#include "audio/lowpass_avx2.h"

#include <emmintrin.h> // SSE2: every x86-64 processor has it

namespace mv {

namespace {

// The last frame of v in both halves: [v2, v3, v2, v3].
__m128 last_frame(__m128 v) noexcept {
    return _mm_movehl_ps(v, v);
}

__m128 pair(float first, float second) noexcept {
    return _mm_setr_ps(first, first, second, second);
}

} // namespace

void lowpass_stereo(float a, const float gain[2], float *pcm, uint32_t frames, float state[2]) noexcept {
    const uint32_t done = kLowpassAvx2 ? lowpass_stereo_avx2(a, gain, pcm, frames, state) : 0;
    lowpass_stereo_sse2(a, gain, pcm + 2 * static_cast<uint64_t>(done), frames - done, state);
}

void lowpass_stereo_sse2(float a, const float gain[2], float *pcm, uint32_t frames, float state[2]) noexcept {
    const float b = 1.0f - a;
    const float b2 = b * b, b3 = b2 * b, b4 = b2 * b2, b7 = b4 * b3, b8 = b4 * b4;
    // A vector holds frames 2k and 2k+1 of both channels: [L, R, L', R'].
    // Z: the response to the vector's own two frames; P1 adds the vector
    // before it, P2 the two before those; Y adds the true output four vectors
    // back, which carries everything older.
    const float al = a * gain[0], ar = a * gain[1];
    const __m128 va = _mm_setr_ps(al, ar, al, ar), vab = _mm_setr_ps(0.0f, 0.0f, al * b, ar * b);
    const __m128 d1 = pair(b, b2), d2 = pair(b3, b4), d4 = pair(b7, b8);
    const uint32_t vectors = frames / 2;

    __m128 z1 = _mm_setzero_ps();                // Z of the vector before
    __m128 p1_1 = _mm_setzero_ps(), p1_2 = p1_1; // P1 one and two vectors back
    __m128 y[4] = {p1_1, p1_1, p1_1, p1_1};      // Y four vectors back, by k % 4
    // The output before the call, carried into the first four vectors.
    const __m128 before = _mm_setr_ps(state[0], state[1], state[0], state[1]);
    __m128 carry_in = _mm_mul_ps(before, d1); // b^(2k+1), b^(2k+2) for k = 0
    const __m128 step = _mm_set1_ps(b2);
    for (uint32_t k = 0; k < vectors; ++k) {
        float *at = pcm + 4 * static_cast<uint64_t>(k);
        const __m128 x = _mm_loadu_ps(at);
        const __m128 z = _mm_add_ps(_mm_mul_ps(va, x), _mm_mul_ps(vab, _mm_movelh_ps(_mm_setzero_ps(), x)));
        const __m128 p1 = _mm_add_ps(z, _mm_mul_ps(d1, last_frame(z1)));
        const __m128 p2 = _mm_add_ps(p1, _mm_mul_ps(d2, last_frame(p1_2)));
        __m128 out;
        if (k >= 4) {
            out = _mm_add_ps(p2, _mm_mul_ps(d4, last_frame(y[k % 4])));
        } else {
            out = _mm_add_ps(p2, carry_in);
            carry_in = _mm_mul_ps(carry_in, step);
        }
        _mm_storeu_ps(at, out);
        y[k % 4] = out;
        z1 = z;
        p1_2 = p1_1;
        p1_1 = p1;
    }
    float l = state[0], r = state[1];
    if (vectors > 0) {
        alignas(16) float last[4];
        _mm_store_ps(last, y[(vectors - 1) % 4]);
        l = last[2];
        r = last[3];
    }
    if (frames % 2 != 0) { // the odd frame at the end
        float *at = pcm + 4 * static_cast<uint64_t>(vectors);
        l = b * l + al * at[0];
        r = b * r + ar * at[1];
        at[0] = l;
        at[1] = r;
    }
    state[0] = l;
    state[1] = r;
}

} // namespace mv
