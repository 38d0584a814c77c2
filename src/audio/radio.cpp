#include "audio/radio.h"

#include <cmath>
#include <complex>
#include <numbers>

#include "audio/lowpass_avx2.h"
#include "audio/radio_avx2.h"

namespace mv {

namespace {

constexpr double kHighPassHz = 330.0;
constexpr double kReferenceHz = 1000.0;
constexpr double kPi = std::numbers::pi;
constexpr double kSqrt3 = std::numbers::sqrt3;

// The linear part's gain at hz: the pair sum, the low-pass and the high-pass.
double chain_gain(const RadioFilter &f, double hz, double rate) {
    const double w = 2.0 * kPi * hz / rate; // per frame
    const std::complex<double> z1 = std::polar(1.0, -2.0 * w), zs = std::polar(1.0, -2.0 * w * f.reach);
    std::complex<double> low = 0, zj = 1;
    for (uint32_t j = 0; j <= f.box; ++j, zj *= z1)
        low += (j == 0 || j == f.box ? 1.0 : 2.0) * zj;
    const double b = f.pole;
    const std::complex<double> high = (1.0 - zs) * (1.0 - zs) / ((1.0 - b * zs) * (1.0 - b * zs));
    return f.scale * 2.0 * std::fabs(std::cos(w / 2.0)) * std::abs(low * high);
}

// The soft clip u - u^3 / 3 (flat from |u| = 1 on) of u = sqrt(3) h, over
// sqrt(3): h carries the 1 / sqrt(3) from the filter's scale and the output
// sqrt(3) goes to the mix, which leaves two multiply-adds here.
inline float saturate(float h) noexcept {
    const float c = h < -kRadioClip ? -kRadioClip : h > kRadioClip ? kRadioClip : h;
    return c - c * c * c;
}

// One sample at half the rate: d in, y out.
inline float radio_step(const RadioFilter &f, float d, RadioState &s) noexcept {
    const uint32_t back = 8 - f.reach, back2 = 8 - 2 * f.reach;
    // The running sums of two and of box: the ends once, the samples between twice.
    const float between = f.box == 3 ? s.d[7] + s.d[6] : f.box == 2 ? s.d[7] : 0.0f;
    const float q = (d + s.d[8 - f.box]) + 2.0f * between;
    const float b = f.pole;
    const float h = (q - 2.0f * s.q[back] + s.q[back2]) + (2.0f * b * s.h[back] - b * b * s.h[back2]);
    for (int k = 0; k < 7; ++k)
        s.d[k] = s.d[k + 1], s.q[k] = s.q[k + 1], s.h[k] = s.h[k + 1];
    s.d[7] = d, s.q[7] = q, s.h[7] = h;
    return saturate(h);
}

} // namespace

void radio_design(RadioFilter &filter, uint32_t rate) noexcept {
    filter = RadioFilter{};
    filter.rate = rate;
    if (rate == 0) return;
    const double half = rate / 2.0;
    // Below 32 kHz the comb's period (rate / 8) would fall inside the band.
    filter.reach = rate >= 32000 ? 4 : 1;
    // A running sum of two at half the rate (a zero at its Nyquist frequency)
    // and one whose zero falls nearest 8 kHz.
    const long box = std::lround(half / 8000.0);
    filter.box = box < 1 ? 1 : box > 3 ? 3 : static_cast<uint32_t>(box);
    filter.pole = static_cast<float>(std::exp(-2.0 * kPi * kHighPassHz * filter.reach / half));
    // The chain brought to 1 (times the drive, over sqrt(3)) at 1 kHz, or at a quarter of the
    // rate below 4 kHz; never more than a thousandfold.
    filter.scale = 1.0f;
    const double at = std::fmin(kReferenceHz, rate / 4.0);
    filter.scale = static_cast<float>(kRadioDrive / kSqrt3 / std::fmax(chain_gain(filter, at, rate), 1e-3));
}

RadioMix radio_mix(const RadioFilter &filter, float amount, const float *p, const float *g,
                   uint16_t filtered) noexcept {
    RadioMix mix{};
    float power = 0.0f;
    for (uint16_t c = 0; c < filtered; ++c)
        power += p[c] * p[c];
    // Weighted by the pan, so that a voice panned hard to one side keeps its
    // level; no voice at all (gain 0) gives no radio.
    const float scale = power > 1e-20f ? 1.0f / power : 0.0f;
    for (uint16_t c = 0; c < filtered; ++c) {
        mix.in[c] = p[c] * g[c] * scale * filter.scale;
        mix.clean[c] = (1.0f - amount) * g[c];
        mix.wet[c] =
            scale > 0.0f ? amount * p[c] * static_cast<float>(kRadioMakeUp / kRadioDrive * kSqrt3) : 0.0f;
    }
    return mix;
}

float radio_mono(const RadioMix &mix, const float *frame, uint16_t filtered) noexcept {
    float m = 0.0f;
    for (uint16_t c = 0; c < filtered; ++c)
        m += mix.in[c] * frame[c];
    return m;
}

void radio_start(const RadioFilter &filter, float mono0, RadioState &state) noexcept {
    // A constant input: the pairs sum to 2 mono0, the high-pass gives 0.
    const float d = 2.0f * mono0;
    const float q = static_cast<float>(2 * filter.box) * d;
    state = RadioState{};
    for (int k = 0; k < 8; ++k)
        state.d[k] = d, state.q[k] = q;
}

void radio_apply_plain(const RadioFilter &filter, const RadioMix &mix, float *pcm, uint32_t frames,
                       uint16_t channels, uint16_t filtered, RadioState &state) noexcept {
    for (uint32_t f = 0; f < frames; ++f) {
        float *frame = pcm + static_cast<uint64_t>(f) * channels;
        const float x = radio_mono(mix, frame, filtered), v = state.y[0];
        if (state.odd == 0) {
            state.half = x;
        } else {
            state.y[0] = state.y[1];
            state.y[1] = radio_step(filter, state.half + x, state);
        }
        state.odd ^= 1u;
        for (uint16_t c = 0; c < filtered; ++c)
            frame[c] = mix.clean[c] * frame[c] + mix.wet[c] * v;
    }
}

void radio_apply(const RadioFilter &filter, const RadioMix &mix, float *pcm, uint32_t frames,
                 uint16_t channels, uint16_t filtered, RadioState &state) noexcept {
    uint32_t done = 0;
    // A pending first frame goes alone, so that the kernel starts on a pair.
    if (state.odd != 0 && frames > 0) {
        radio_apply_plain(filter, mix, pcm, 1, channels, filtered, state);
        done = 1;
    }
    // The layout Mumble decodes speech in, sixteen frames at a time.
    if (channels == 2 && filtered == 2 && filter.reach == 4 && filter.box == 3 && kLowpassAvx2)
        done += radio_stereo_avx2(filter, mix, pcm + 2 * static_cast<uint64_t>(done), frames - done, state);
    radio_apply_plain(filter, mix, pcm + static_cast<uint64_t>(done) * channels, frames - done, channels,
                      filtered, state);
}

} // namespace mv
