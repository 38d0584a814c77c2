#include "audio/radio_avx2.h"

#include <immintrin.h>

#define MV_AVX2 __attribute__((target("avx2,fma")))
// Inlined, so that no 256-bit value passes through the stack, which Windows
// aligns to 16 bytes only.
#define MV_AVX2_INLINE __attribute__((target("avx2,fma"), always_inline)) inline

// A vector holds eight samples at half the rate, the even ones in its lower
// half and the odd ones in its upper half (d0 d2 d4 d6 | d1 d3 d5 d7): the
// order the pair sums come in from operations that stay within each half.
// A sample two back is then one place back in its own half; one or three
// back are in the other half, a move across (one per vector: `swapped`).

namespace mv {

namespace {

MV_AVX2_INLINE __m256 floats(__m256i v) noexcept {
    return _mm256_castsi256_ps(v);
}
MV_AVX2_INLINE __m256i ints(__m256 v) noexcept {
    return _mm256_castps_si256(v);
}

// k places back within each half: the last k of before's, then v's first 4 - k.
template <int kPlaces> MV_AVX2_INLINE __m256 places_back(__m256 v, __m256 before) noexcept {
    return floats(_mm256_alignr_epi8(ints(v), ints(before), 16 - 4 * kPlaces));
}

// Eight pair sums of sixteen stereo frames, weighted by in, in the order
// above. Loads one and three frames further on put each pair's second frame
// where its first is (blended, then added), so that only adding the two
// channels moves samples between places.
MV_AVX2_INLINE __m256 pair_sums(const float *at, __m256 x0, __m256 x1, __m256 x2, __m256 x3,
                                __m256 in) noexcept {
    // Frames (0 2 | 1 3) of each eight, both channels, plus the frame after each.
    const __m256 first = _mm256_add_ps(_mm256_blend_ps(x0, _mm256_loadu_ps(at + 6), 0xCC),
                                       _mm256_blend_ps(_mm256_loadu_ps(at + 2), x1, 0xCC));
    const __m256 second = _mm256_add_ps(_mm256_blend_ps(x2, _mm256_loadu_ps(at + 22), 0xCC),
                                        _mm256_blend_ps(_mm256_loadu_ps(at + 18), x3, 0xCC));
    return _mm256_hadd_ps(_mm256_mul_ps(first, in), _mm256_mul_ps(second, in));
}

template <bool kClean>
MV_AVX2_INLINE __m256 mixed(__m256 radio, __m256 x, __m256 clean, __m256 wet) noexcept {
    return kClean ? _mm256_fmadd_ps(wet, radio, _mm256_mul_ps(clean, x)) : _mm256_mul_ps(wet, radio);
}

// The sixteen frames at at, given their pair sums' radio voice y and the
// vector of y before; pair k plays y[k - 2]: one place back in its half,
// spread over both frames and channels. A full radio (clean 0) skips the
// clean part.
template <bool kClean>
MV_AVX2_INLINE void play(float *at, __m256 x0, __m256 x1, __m256 x2, __m256 x3, __m256 y, __m256 y_before,
                         __m256 clean, __m256 wet) noexcept {
    const __m256 late = places_back<1>(y, y_before);
    _mm256_storeu_ps(at, mixed<kClean>(_mm256_permute_ps(late, 0x00), x0, clean, wet));
    _mm256_storeu_ps(at + 8, mixed<kClean>(_mm256_permute_ps(late, 0x55), x1, clean, wet));
    _mm256_storeu_ps(at + 16, mixed<kClean>(_mm256_permute_ps(late, 0xAA), x2, clean, wet));
    _mm256_storeu_ps(at + 24, mixed<kClean>(_mm256_permute_ps(late, 0xFF), x3, clean, wet));
}

template <bool kClean>
MV_AVX2_INLINE void run(const RadioFilter &filter, const RadioMix &mix, float *pcm, uint32_t done,
                        RadioState &state) noexcept {
    const float b = filter.pole, c1 = 2.0f * b, c2 = -b * b, c11 = c1 * c1 + c2, c12 = c1 * c2;
    const __m256 in = _mm256_setr_ps(mix.in[0], mix.in[1], mix.in[0], mix.in[1], mix.in[0], mix.in[1],
                                     mix.in[0], mix.in[1]);
    const __m256 clean = _mm256_setr_ps(mix.clean[0], mix.clean[1], mix.clean[0], mix.clean[1], mix.clean[0],
                                        mix.clean[1], mix.clean[0], mix.clean[1]);
    const __m256 wet = _mm256_setr_ps(mix.wet[0], mix.wet[1], mix.wet[0], mix.wet[1], mix.wet[0], mix.wet[1],
                                      mix.wet[0], mix.wet[1]);
    // h = u + c1 h[-4] + c2 h[-8]: in each half, places 0 and 1 from the
    // vector before (its places 2 and 3, then 0 and 1), places 2 and 3 with
    // places 0 and 1 substituted.
    const __m256 k_u = _mm256_setr_ps(0, 0, c1, c1, 0, 0, c1, c1);
    const __m256 k_swapped = _mm256_setr_ps(c1, c1, c12, c12, c1, c1, c12, c12);
    const __m256 k_same = _mm256_setr_ps(c2, c2, c11, c11, c2, c2, c11, c11);
    const __m256 top = _mm256_set1_ps(kRadioClip), bottom = _mm256_set1_ps(-kRadioClip),
                 two = _mm256_set1_ps(2.0f), minus_two = _mm256_set1_ps(-2.0f);
    // The state's order (oldest first) and back.
    const __m256i split = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
    const __m256i join = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    __m256 d_before = _mm256_permutevar8x32_ps(_mm256_loadu_ps(state.d), split);
    __m256 q_before = _mm256_permutevar8x32_ps(_mm256_loadu_ps(state.q), split);
    __m256 h_before = _mm256_permutevar8x32_ps(_mm256_loadu_ps(state.h), split);
    __m256 y_before = _mm256_setr_ps(0, 0, 0, state.y[0], 0, 0, 0, state.y[1]);
    __m256 swapped_before = _mm256_permute2f128_ps(d_before, d_before, 0x01);
    for (uint32_t f = 0; f < done; f += 16) {
        float *at = pcm + 2 * static_cast<uint64_t>(f);
        const __m256 x0 = _mm256_loadu_ps(at), x1 = _mm256_loadu_ps(at + 8), x2 = _mm256_loadu_ps(at + 16),
                     x3 = _mm256_loadu_ps(at + 24);
        const __m256 d = pair_sums(at, x0, x1, x2, x3, in);
        // The running sums of two and three: d, 2 d[-1], 2 d[-2] and d[-3]; one
        // and three back are in the other half, two back in the same one.
        const __m256 swapped = _mm256_permute2f128_ps(d, d, 0x01);
        const __m256 odd1 = places_back<1>(swapped, swapped_before);
        const __m256 d1 = _mm256_blend_ps(odd1, swapped, 0xF0);
        const __m256 d3 = _mm256_blend_ps(places_back<2>(swapped, swapped_before), odd1, 0xF0);
        const __m256 q =
            _mm256_fmadd_ps(two, _mm256_add_ps(d1, places_back<1>(d, d_before)), _mm256_add_ps(d, d3));
        // q four back: the last two places of the vector before, then the first two.
        const __m256 q4 =
            _mm256_castpd_ps(_mm256_shuffle_pd(_mm256_castps_pd(q_before), _mm256_castps_pd(q), 0b0101));
        const __m256 u = _mm256_fmadd_ps(minus_two, q4, _mm256_add_ps(q, q_before));
        const __m256 h = _mm256_fmadd_ps(
            k_same, h_before,
            _mm256_fmadd_ps(
                k_swapped, _mm256_permute_ps(h_before, 0x4E),
                _mm256_fmadd_ps(k_u, _mm256_castpd_ps(_mm256_movedup_pd(_mm256_castps_pd(u))), u)));
        // The clamp lets a NaN through, as the plain path does.
        const __m256 c = _mm256_min_ps(top, _mm256_max_ps(bottom, h));
        const __m256 y = _mm256_fnmadd_ps(_mm256_mul_ps(c, c), c, c);
        play<kClean>(at, x0, x1, x2, x3, y, y_before, clean, wet);
        d_before = d, swapped_before = swapped, q_before = q, h_before = h, y_before = y;
    }
    _mm256_storeu_ps(state.d, _mm256_permutevar8x32_ps(d_before, join));
    _mm256_storeu_ps(state.q, _mm256_permutevar8x32_ps(q_before, join));
    _mm256_storeu_ps(state.h, _mm256_permutevar8x32_ps(h_before, join));
    alignas(32) float last[8];
    _mm256_store_ps(last, y_before);
    state.y[0] = last[3];
    state.y[1] = last[7];
}

} // namespace

MV_AVX2 uint32_t radio_stereo_avx2(const RadioFilter &filter, const RadioMix &mix, float *pcm,
                                   uint32_t frames, RadioState &state) noexcept {
    const uint32_t done = frames / 16 * 16;
    if (done == 0) return 0;
    if (mix.clean[0] == 0.0f && mix.clean[1] == 0.0f)
        run<false>(filter, mix, pcm, done, state);
    else
        run<true>(filter, mix, pcm, done, state);
    return done;
}

} // namespace mv
