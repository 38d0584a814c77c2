// One speaker's sound from call to call, for the two effects that need memory:
// smoothing (the multipliers move linearly to a new target instead of
// jumping) and muffling (a first-order low-pass). Pure: the caller owns the
// state and brings the samples, the rate and the settings.
#pragma once

#include <cstddef>
#include <cstdint>

#include "audio/radio.h"

namespace mv {

// What the speaker's row asks for.
struct VoiceTarget {
    float left;   // channel 0
    float right;  // channel 1
    float mid;    // mono, and channels from the third on (the gain)
    float muffle; // 0 clear .. 1 fully muffled
    float radio;  // 0 none .. 1 a full radio voice
    bool operator==(const VoiceTarget &) const = default;
};

// Channels that the low-pass and the radio filter; Mumble decodes speech as
// stereo, so channels past these (never met in practice) pass unfiltered.
inline constexpr size_t kFilteredChannels = 8;

struct VoiceState {
    VoiceTarget now;      // in effect at the end of the previous call
    VoiceTarget from, to; // the ramp: where it began, where it goes
    uint32_t ramp_frames; // its length; 0: no ramp under way
    uint32_t ramp_done;   // frames of it already played
    uint32_t last_call;   // the number of the call that used this state last
    bool filtering;       // the low-pass ran in the previous call
    float filter_muffle;  // the muffle and rate its coefficient was made for
    uint32_t filter_rate;
    float filter_coef;
    float lowpass[kFilteredChannels]; // each channel's previous output
    bool radio_running;               // the radio ran in the previous call
    RadioFilter radio;                // its coefficients, for radio.rate
    RadioState radio_state;           // one for all channels: a radio is mono
};

// The speaker starts at the target: new, back after a silence, or forgotten.
void voice_start(VoiceState &v, const VoiceTarget &target) noexcept;

// Call `call` of the speaker, whose previous call was previous_call (0:
// unknown). When that was not the last call to use this state, the speaker
// played meanwhile without it (a plain step), so the filters' memory is stale
// and they start again from the audio as it is now.
void voice_continue(VoiceState &v, uint32_t previous_call, uint32_t call) noexcept;

// Applies one call: with smoothing_ms above 0, the multipliers move linearly,
// frame by frame, from where the previous call left them to the target,
// reaching it smoothing_ms after the target changed (counted in frames at this
// call's rate); a target that changes mid-way starts a new ramp from where
// they stand. The muffle and the radio move along the same ramp, once per
// call. A muffle above 0 low-passes the channels after gain and pan; a radio
// above 0 then blends in the radio voice, made once from the channels and put
// back by the pan. Returns what is in effect at the end of the call.
VoiceTarget voice_apply(VoiceState &v, const VoiceTarget &target, float *pcm, uint32_t frames,
                        uint16_t channels, uint32_t rate, uint32_t smoothing_ms) noexcept;

// The low-pass coefficient for a muffle at a sample rate: a one-pole filter
// whose cutoff falls log-linearly from 20 kHz (muffle 0) to 500 Hz (muffle 1).
[[nodiscard]] float lowpass_coefficient(float muffle, uint32_t rate) noexcept;

} // namespace mv
