#include "audio/voice.h"

#include <cmath>
#include <initializer_list>
#include <numbers>

#include "audio/lowpass.h"
#include "audio/spatial.h"

namespace mv {

namespace {

constexpr float kTwoPi = 2.0f * std::numbers::pi_v<float>;
constexpr float kClearCutoffHz = 20000.0f;
constexpr float kMuffledCutoffHz = 500.0f;
// Far below anything audible (-200 dB). A filter's state that decays past it
// is set to exact zero: left alone it sinks into subnormal numbers, each of
// which can cost the processor a hundred times a normal operation, on every
// sample of every quiet call after it.
constexpr float kStateFloor = 1e-10f;

// The state carried to the next call: exact zero once inaudible, and after a
// non-finite input (NaN or infinity, which would otherwise stay in it for good).
float settled(float state) noexcept {
    return std::isfinite(state) && std::fabs(state) >= kStateFloor ? state : 0.0f;
}

float lerp(float from, float to, float t) noexcept {
    return from + (to - from) * t;
}

// The ramp k frames after it began (k counted from 1): the target once k
// reaches the ramp's length.
VoiceTarget ramp_at(const VoiceState &v, uint32_t k, float per_frame) noexcept {
    if (k >= v.ramp_frames) return v.to;
    const float t = static_cast<float>(k) * per_frame;
    return {lerp(v.from.left, v.to.left, t), lerp(v.from.right, v.to.right, t), lerp(v.from.mid, v.to.mid, t),
            lerp(v.from.muffle, v.to.muffle, t), lerp(v.from.radio, v.to.radio, t)};
}

// The first `frames` frames of a ramp that has played `done` frames so far.
void apply_ramp(const VoiceState &v, float *pcm, uint32_t frames, uint16_t channels, uint32_t done,
                float per_frame) noexcept {
    // Plain loops over locals, one per layout, so that the compiler keeps
    // everything in registers.
    const float fl = v.from.left, dl = v.to.left - v.from.left;
    const float fr = v.from.right, dr = v.to.right - v.from.right;
    const float fm = v.from.mid, dm = v.to.mid - v.from.mid;
    if (channels == 1) {
        for (uint32_t f = 0; f < frames; ++f)
            pcm[f] *= fm + dm * (static_cast<float>(done + f + 1) * per_frame);
        return;
    }
    for (uint32_t f = 0; f < frames; ++f) {
        const float t = static_cast<float>(done + f + 1) * per_frame;
        float *frame = pcm + static_cast<uint64_t>(f) * channels;
        frame[0] *= fl + dl * t;
        frame[1] *= fr + dr * t;
        for (uint16_t k = 2; k < channels; ++k)
            frame[k] *= fm + dm * t;
    }
}

void apply_constant(const VoiceTarget &t, float *pcm, uint32_t frames, uint16_t channels) noexcept {
    apply_gain_pan(pcm, frames, channels, t.mid, Multipliers{t.left, t.right});
}

// y += a * (g x - y) per channel, in place; each channel keeps its last
// output. The gains g are those of stereo; other layouts come already scaled.
void lowpass(VoiceState &v, float a, const float gain[2], float *pcm, uint32_t frames,
             uint16_t channels) noexcept {
    const uint16_t filtered = channels < kFilteredChannels ? channels : kFilteredChannels;
    if (frames == 0) return;
    if (!v.filtering) {
        // A fresh filter starts from the first sample, not from silence.
        for (uint16_t c = 0; c < filtered; ++c)
            v.lowpass[c] = pcm[c] * (channels == 2 ? gain[c] : 1.0f);
    }
    if (channels == 2) { // the layout Mumble decodes speech in
        lowpass_stereo(a, gain, pcm, frames, v.lowpass);
    } else {
        const float b = 1.0f - a;
        for (uint16_t c = 0; c < filtered; ++c) {
            float y = v.lowpass[c];
            for (uint32_t f = 0; f < frames; ++f) {
                float &x = pcm[static_cast<uint64_t>(f) * channels + c];
                y = b * y + a * x;
                x = y;
            }
            v.lowpass[c] = y;
        }
    }
    for (uint16_t c = 0; c < filtered; ++c)
        v.lowpass[c] = settled(v.lowpass[c]);
}

// gain: what the samples are still to be multiplied by (stereo, steady and
// unmuffled: the radio applies gain and pan as it reads).
void radio(VoiceState &v, float amount, const float gain[2], float *pcm, uint32_t frames, uint16_t channels,
           uint32_t rate) noexcept {
    static_assert(kFilteredChannels == kRadioChannels);
    const uint16_t filtered = channels < kFilteredChannels ? channels : kFilteredChannels;
    if (frames == 0 || rate == 0) return;
    if (v.radio.rate != rate) {
        radio_design(v.radio, rate);
        v.radio_running = false;
    }
    float pan[kFilteredChannels], still[kFilteredChannels];
    for (uint16_t c = 0; c < filtered; ++c) {
        pan[c] = channels == 1 || c >= 2 ? v.now.mid : c == 0 ? v.now.left : v.now.right;
        still[c] = c < 2 ? gain[c] : 1.0f;
    }
    const RadioMix mix = radio_mix(v.radio, amount, pan, still, filtered);
    if (!v.radio_running) radio_start(v.radio, radio_mono(mix, pcm, filtered), v.radio_state);
    radio_apply(v.radio, mix, pcm, frames, channels, filtered, v.radio_state);
    RadioState &s = v.radio_state;
    for (float *memory : {s.d, s.q, s.h})
        for (int k = 0; k < 8; ++k)
            memory[k] = settled(memory[k]);
    for (float &y : s.y)
        y = settled(y);
    s.half = settled(s.half);
}

} // namespace

float lowpass_coefficient(float muffle, uint32_t rate) noexcept {
    if (rate == 0) return 1.0f;
    const float cutoff = kClearCutoffHz * std::pow(kMuffledCutoffHz / kClearCutoffHz, muffle);
    return 1.0f - std::exp(-kTwoPi * cutoff / static_cast<float>(rate));
}

void voice_start(VoiceState &v, const VoiceTarget &target) noexcept {
    v = VoiceState{};
    v.now = v.from = v.to = target;
}

void voice_continue(VoiceState &v, uint32_t previous_call, uint32_t call) noexcept {
    if (previous_call != 0 && previous_call != v.last_call) v.filtering = v.radio_running = false;
    v.last_call = call;
}

VoiceTarget voice_apply(VoiceState &v, const VoiceTarget &target, float *pcm, uint32_t frames,
                        uint16_t channels, uint32_t rate, uint32_t smoothing_ms) noexcept {
    if (smoothing_ms == 0) {
        v.ramp_frames = 0;
        v.now = v.from = v.to = target;
    } else if (!(target == v.to)) {
        const uint64_t length = static_cast<uint64_t>(smoothing_ms) * rate / 1000u;
        v.from = v.now;
        v.to = target;
        v.ramp_frames = length == 0 ? 1u : length > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(length);
        v.ramp_done = 0;
    }

    // Steady stereo that is muffled is scaled by the filter as it reads; on
    // the radio and not muffled, by the radio.
    const bool steady_stereo = v.ramp_frames == 0 && channels == 2;
    const bool scaled_by_filter = steady_stereo && v.to.muffle > 0.0f;
    const bool scaled_by_radio = steady_stereo && !scaled_by_filter && v.to.radio > 0.0f && rate > 0;
    if (v.ramp_frames == 0) {
        if (!scaled_by_filter && !scaled_by_radio) apply_constant(v.to, pcm, frames, channels);
    } else {
        const float per_frame = 1.0f / static_cast<float>(v.ramp_frames);
        const uint32_t remaining = v.ramp_frames - v.ramp_done;
        const uint32_t ramped = frames < remaining ? frames : remaining;
        apply_ramp(v, pcm, ramped, channels, v.ramp_done, per_frame);
        apply_constant(v.to, pcm + static_cast<uint64_t>(ramped) * channels, frames - ramped, channels);
        v.ramp_done += ramped;
        v.now = ramp_at(v, v.ramp_done, per_frame);
        if (v.ramp_done >= v.ramp_frames) v.ramp_frames = 0;
    }

    // The muffle changes once per call: the value in effect at its end.
    const float muffle = v.now.muffle;
    if (muffle > 0.0f) {
        if (!v.filtering || muffle != v.filter_muffle || rate != v.filter_rate) {
            v.filter_coef = lowpass_coefficient(muffle, rate);
            v.filter_muffle = muffle;
            v.filter_rate = rate;
        }
        const float unity[2] = {1.0f, 1.0f}, gain[2] = {v.to.left, v.to.right};
        lowpass(v, v.filter_coef, scaled_by_filter ? gain : unity, pcm, frames, channels);
        v.filtering = true;
    } else {
        v.filtering = false;
    }
    // So does the radio, after gain, pan and muffle.
    if (v.now.radio > 0.0f) {
        const float unity[2] = {1.0f, 1.0f}, gain[2] = {v.to.left, v.to.right};
        radio(v, v.now.radio, scaled_by_radio ? gain : unity, pcm, frames, channels, rate);
        v.radio_running = true;
    } else {
        v.radio_running = false;
    }
    return v.now;
}

} // namespace mv
