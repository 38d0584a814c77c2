#include "voice.h"

#include <algorithm>
#include <cmath>

namespace mvtools {
namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kTopHz = 2000;
// Samples the fit skips at the start of a block: the plugin's filter carries
// its state over from the previous block, the fit's cannot.
constexpr uint32_t kSettle = 64;

// How far out is from m(t) * lowpass(in), with the best straight line m(t)
// for each channel (the plugin's smoothing moves its multipliers linearly);
// a >= 1 means no filter. left and right are the multipliers in the middle.
struct Fit {
    double misfit, left, right;
};
Fit fit(const float *in, const float *out, uint32_t frames, double a) {
    Fit f{0, 0, 0};
    double *mean[2] = {&f.left, &f.right};
    for (int c = 0; c < 2; ++c) {
        // Least squares of out = p * y + q * t * y, t running 0..1 over the block.
        double yy = 0, tyy = 0, ttyy = 0, yo = 0, tyo = 0, oo = 0;
        double y = in[c];
        for (uint32_t i = 0; i < frames; ++i) {
            y = a >= 1 ? in[2 * i + c] : y + a * (in[2 * i + c] - y);
            if (i < kSettle && frames > 2 * kSettle) continue;
            const double t = frames > 1 ? static_cast<double>(i) / (frames - 1) : 0, o = out[2 * i + c];
            yy += y * y, tyy += t * y * y, ttyy += t * t * y * y, yo += y * o, tyo += t * y * o, oo += o * o;
        }
        const double det = yy * ttyy - tyy * tyy;
        double p = 0, q = 0;
        if (det > 1e-12 * yy * ttyy) {
            p = (ttyy * yo - tyy * tyo) / det, q = (yy * tyo - tyy * yo) / det;
        } else if (yy > 0) {
            p = yo / yy;
        }
        f.misfit += oo - p * yo - q * tyo;
        *mean[c] = std::max(p + q / 2, 0.0);
    }
    return f;
}

// Below every voice's second partial, and round the middle of its partials.
constexpr double kLowBandHz = 120;
constexpr double kMiddleFromHz = 700, kMiddleToHz = 1500;
// What the radio leaves of the lowest partials beside the middle ones (about
// -16 dB): a full radio voice measures 1 - kRadioLeak before scaling.
constexpr double kRadioLeak = 0.15;

double one_pole(double hz) {
    return 1 - std::exp(-kTwoPi * hz / kSampleRate);
}

// Root-mean-square of one channel in the low band and in the middle one.
struct Bands {
    double low, middle;
};
Bands bands(const float *pcm, uint32_t frames, int channel) {
    const double low_a = one_pole(kLowBandHz), from_a = one_pole(kMiddleFromHz), to_a = one_pole(kMiddleToHz);
    double low = pcm[channel], below = pcm[channel], middle = 0, sum_low = 0, sum_middle = 0;
    for (uint32_t i = 0; i < frames; ++i) {
        const double x = pcm[2 * i + channel];
        low += low_a * (x - low);
        below += from_a * (x - below);
        middle += to_a * ((x - below) - middle);
        if (i < kSettle && frames > 2 * kSettle) continue;
        sum_low += low * low, sum_middle += middle * middle;
    }
    return {std::sqrt(sum_low / frames), std::sqrt(sum_middle / frames)};
}

// The radio heard in a channel, and the channel's level in the middle band
// (where the radio voice keeps the clean one's).
struct RadioHeard {
    double radio, middle_gain;
};
RadioHeard radio_heard(const float *in, const float *out, uint32_t frames, int channel) {
    const Bands i = bands(in, frames, channel), o = bands(out, frames, channel);
    if (i.low < 1e-6 || i.middle < 1e-6 || o.middle < 1e-6) return {0, 0};
    const double middle_gain = o.middle / i.middle, kept = (o.low / i.low) / middle_gain;
    return {std::clamp((1 - kept) / (1 - kRadioLeak), 0.0, 1.0), middle_gain};
}

} // namespace

Voice::Voice(size_t index) {
    static constexpr double kPitches[] = {110.0, 146.8, 196.0, 130.8, 174.6, 220.0, 98.0, 164.8};
    f0_ = kPitches[index % 8];
    rate_ = 2.7 + 0.6 * static_cast<double>(index % 4);
    phase_offset_ = 0.9 * static_cast<double>(index);
    for (int k = 1; f0_ * k <= kTopHz; ++k)
        partials_.push_back(1.0 / k);
}

void Voice::render(float *out, uint32_t frames) {
    for (uint32_t i = 0; i < frames; ++i, ++pos_) {
        const double t = static_cast<double>(pos_) / kSampleRate;
        // sin(k x) from the two before it, so that a partial costs a multiply.
        const double x = kTwoPi * f0_ * t, c = 2 * std::cos(x);
        double v = 0, before = 0, now = std::sin(x);
        for (const double amplitude : partials_) {
            v += now * amplitude;
            const double next = c * now - before;
            before = now;
            now = next;
        }
        const double swell = 0.55 + 0.45 * std::sin(kTwoPi * rate_ * t + phase_offset_);
        const auto s = static_cast<float>(0.1 * v * swell);
        out[2 * i] = s;
        out[2 * i + 1] = s;
    }
}

double lowpass_coefficient(double muffle, double rate) {
    const double cutoff = 20000 * std::pow(500.0 / 20000.0, muffle);
    return 1 - std::exp(-kTwoPi * cutoff / rate);
}

Measured measure(const float *in, const float *out, uint32_t frames) {
    Measured m;
    if (frames == 0) return m;
    double left = 0, right = 0;
    for (uint32_t i = 0; i < frames; ++i) {
        left += static_cast<double>(out[2 * i]) * out[2 * i];
        right += static_cast<double>(out[2 * i + 1]) * out[2 * i + 1];
    }
    m.left_rms = std::sqrt(left / frames);
    m.right_rms = std::sqrt(right / frames);
    // The muffle whose filter, times a straight-line multiplier per channel, best explains
    // the output: a coarse grid, then a finer look round the best.
    const auto at = [&](double muffle) {
        return fit(in, out, frames, muffle <= 0 ? 1 : lowpass_coefficient(muffle, kSampleRate));
    };
    double best = 0;
    Fit f = at(0);
    const auto consider = [&](double muffle) {
        const Fit g = at(muffle);
        if (g.misfit < f.misfit * (1 - 1e-9)) best = muffle, f = g;
    };
    for (int k = 1; k <= 20; ++k)
        consider(k / 20.0);
    for (double step = 0.025; step > 0.001; step /= 2) {
        const double centre = best;
        consider(std::clamp(centre - step, 0.001, 1.0));
        consider(std::clamp(centre + step, 0.001, 1.0));
    }
    // A radio voice keeps little of the voice's lowest partials, where most of
    // its power is, so a mostly radio voice is measured in the middle band.
    const RadioHeard radio[2] = {radio_heard(in, out, frames, 0), radio_heard(in, out, frames, 1)};
    const RadioHeard &louder = radio[radio[1].middle_gain > radio[0].middle_gain ? 1 : 0];
    if (louder.radio > 0.5) {
        f.left = radio[0].middle_gain, f.right = radio[1].middle_gain;
        best = 0;
    }
    const double power = f.left * f.left + f.right * f.right;
    m.silent = std::sqrt(power) < 1e-4;
    if (m.silent) return m;
    // The equal-power law makes left^2 + right^2 = gain^2 and
    // right^2 - left^2 = pan * gain^2.
    m.gain = std::sqrt(power);
    m.pan = std::clamp((f.right * f.right - f.left * f.left) / power, -1.0, 1.0);
    m.muffle = best;
    m.radio = louder.radio;
    return m;
}

double to_dbfs(double rms) {
    return rms > 1e-9 ? 20 * std::log10(rms) : -180;
}

} // namespace mvtools
