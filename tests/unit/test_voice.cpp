// A speaker's sound from call to call: smoothing moves the multipliers
// linearly to each new target (exact samples, at a rate where a ramp is four
// frames so every value is exact in floats), and muffling low-passes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>
#include <utility>
#include <vector>

#include "audio/lowpass.h"
#include "audio/radio.h"
#include "audio/spatial.h"
#include "audio/voice.h"
#include "audio/voice_bank.h"

using namespace mv;

namespace {

constexpr uint32_t kRate = 4000; // with 1 ms of smoothing: ramps of 4 frames
constexpr VoiceTarget kSilent{0, 0, 0, 0, 0};
constexpr VoiceTarget kFull{1, 1, 1, 0, 0};

struct Call {
    VoiceTarget target;
    uint32_t frames;
    std::vector<float> left; // what a sample of 1.0 becomes, frame by frame (channel 0)
    std::vector<float> right;
    bool after_silence = false; // the bank found the speaker silent for over 250 ms
};

// Plays the calls from a speaker started at `start`; returns each frame.
void play(const char *what, uint16_t channels, VoiceTarget start, const std::vector<Call> &calls) {
    SCOPED_TRACE(what);
    VoiceState v;
    voice_start(v, start);
    for (const Call &c : calls) {
        std::vector<float> pcm(static_cast<size_t>(c.frames) * channels, 1.0f);
        if (c.after_silence) voice_start(v, c.target);
        const VoiceTarget end = voice_apply(v, c.target, pcm.data(), c.frames, channels, kRate, 1);
        for (uint32_t f = 0; f < c.frames; ++f) {
            EXPECT_EQ(pcm[f * channels], c.left[f]) << "frame " << f;
            if (channels > 1) {
                EXPECT_EQ(pcm[f * channels + 1], c.right[f]) << "frame " << f;
            }
        }
        EXPECT_EQ(end.left, c.left.back()); // what the trace line shows
    }
}

} // namespace

TEST(Smoothing, MultipliersMoveLinearlyToEachNewTarget) {
    play("step up", 2, kSilent, {{kFull, 6, {0.25f, 0.5f, 0.75f, 1, 1, 1}, {0.25f, 0.5f, 0.75f, 1, 1, 1}}});
    play("step down, left and right apart", 2, kFull,
         {{{0.5f, 0, 0.5f, 0, 0}, 4, {0.875f, 0.75f, 0.625f, 0.5f}, {0.75f, 0.5f, 0.25f, 0}}});
    play(
        "ramp across calls", 2, kSilent,
        {{kFull, 1, {0.25f}, {0.25f}}, {kFull, 2, {0.5f, 0.75f}, {0.5f, 0.75f}}, {kFull, 2, {1, 1}, {1, 1}}});
    play("a change mid-way starts from where the multipliers stand", 2, kSilent,
         {{kFull, 2, {0.25f, 0.5f}, {0.25f, 0.5f}},
          {kSilent, 5, {0.375f, 0.25f, 0.125f, 0, 0}, {0.375f, 0.25f, 0.125f, 0, 0}}});
    play("a speaker who loses their row falls silent within the ramp", 2, kFull,
         {{kSilent, 4, {0.75f, 0.5f, 0.25f, 0}, {0.75f, 0.5f, 0.25f, 0}}, {kSilent, 2, {0, 0}, {0, 0}}});
    play("a speaker back after a silence starts at the target, not faded in", 2, kSilent,
         {{kFull, 1, {0.25f}, {0.25f}}, {kFull, 2, {1, 1}, {1, 1}, true}});
    play("mono follows the gain", 1, {0.5f, 0.5f, 0.5f, 0, 0},
         {{{1, 0, 1, 0, 0}, 4, {0.625f, 0.75f, 0.875f, 1}, {}}});
}

TEST(Smoothing, OffIsTheStepTheCallbackAppliesWithoutMemory) {
    const VoiceTarget t{0.3f, 0.6f, 0.7f, 0, 0};
    for (uint16_t channels : {1, 2, 6}) {
        std::vector<float> a(96u * channels), b;
        for (size_t i = 0; i < a.size(); ++i)
            a[i] = static_cast<float>(i % 17) * 0.0625f - 0.5f;
        b = a;
        VoiceState v;
        voice_start(v, kFull);
        voice_apply(v, t, a.data(), 96, channels, 48000, 0);
        apply_gain_pan(b.data(), 96, channels, t.mid, Multipliers{t.left, t.right});
        EXPECT_EQ(a, b) << channels << " channels";
    }
}

// The radio moves along the ramp too, its value in effect at the end of each
// call; once it is back at 0 the samples are exactly what gain and pan make.
TEST(Smoothing, TheRadioMovesAlongTheRamp) {
    const VoiceTarget radio{1, 1, 1, 0, 1};
    VoiceState v;
    voice_start(v, kFull);
    for (const auto &[target, frames, now] : {std::tuple{radio, 2u, 0.5f},
                                              {radio, 2u, 1.0f},
                                              {kFull, 3u, 0.25f},
                                              {kFull, 1u, 0.0f},
                                              {kFull, 4u, 0.0f}}) {
        std::vector<float> pcm(2 * frames, 0.25f);
        EXPECT_EQ(voice_apply(v, target, pcm.data(), frames, 2, kRate, 1).radio, now);
        if (now == 0.0f) {
            EXPECT_EQ(pcm, std::vector<float>(2 * frames, 0.25f));
        }
    }
}

// The bank hands the speaker their own memory back, starts afresh after more
// than 250 ms of silence or after the connection ended.
TEST(VoiceBank, FreshAfterSilenceOrForgetting) {
    const struct {
        uint32_t at_ms;
        bool forget_first;
        bool fresh;
    } calls[] = {{1000, false, true}, {1020, false, false}, {1270, false, false},
                 {1521, false, true}, {1530, true, true},   {1540, false, false}};
    for (const auto &c : calls) {
        if (c.forget_first) voices_forget();
        const VoiceClaim claim = voice_claim(77, c.at_ms);
        ASSERT_NE(claim.state, nullptr);
        EXPECT_EQ(claim.fresh, c.fresh) << c.at_ms;
        EXPECT_EQ(voice_claim(77, c.at_ms).state, nullptr) << "held by the call in progress";
        voice_release(claim);
    }
}

namespace {

// Root-mean-square of channel 0 over the second half of a 48 kHz tone, after
// the filter has settled, played in calls of `chunk` frames.
constexpr uint32_t kFrames = 9600;

// Starting at full level, so that how a filter starts shows.
std::vector<float> tone(double hz) {
    std::vector<float> pcm(2 * kFrames);
    for (uint32_t f = 0; f < kFrames; ++f)
        pcm[2 * f] = pcm[2 * f + 1] = static_cast<float>(std::cos(6.283185307179586 * hz * f / 48000.0));
    return pcm;
}

double filtered_rms(double hz, float muffle, uint32_t chunk, std::vector<float> *out = nullptr,
                    const float (&gain)[2] = {1.0f, 1.0f}) {
    std::vector<float> pcm = tone(hz);
    VoiceState v;
    const VoiceTarget t{gain[0], gain[1], 1, muffle, 0};
    voice_start(v, t);
    for (uint32_t f = 0; f < kFrames; f += chunk)
        voice_apply(v, t, pcm.data() + 2 * f, std::min(chunk, kFrames - f), 2, 48000, 0);
    double sum = 0;
    for (uint32_t f = kFrames / 2; f < kFrames; ++f)
        sum += static_cast<double>(pcm[2 * f]) * pcm[2 * f];
    if (out != nullptr) *out = pcm;
    return std::sqrt(sum / (kFrames / 2));
}

double db(double ratio) {
    return 20.0 * std::log10(ratio);
}

} // namespace

TEST(Muffle, LowPassesHighTonesFarMoreThanLowOnes) {
    const double clear = std::sqrt(0.5);
    std::vector<float> played;
    filtered_rms(8000, 0, 960, &played);
    EXPECT_EQ(played, tone(8000)); // no filter runs at muffle 0
    EXPECT_NEAR(filtered_rms(440, 0, 960), clear, 1e-4);
    const double low = db(filtered_rms(440, 1, 960) / clear), high = db(filtered_rms(8000, 1, 960) / clear);
    EXPECT_GT(low, -3.5);
    EXPECT_LE(high, low - 20.0) << "8 kHz at " << high << " dB, 440 Hz at " << low << " dB";
    // Half muffled lies between, with the cutoff halfway on a log scale: near
    // 3.2 kHz (a linear move would put it past 10 kHz).
    const double mid = db(filtered_rms(8000, 0.5f, 960) / clear);
    EXPECT_LT(mid, -1.0);
    EXPECT_GT(mid, high);
    EXPECT_NEAR(db(filtered_rms(3162, 0.5f, 960) / clear), -3.0, 0.5);
}

// Played whole or in calls of any length, the output is the one-pole filter's
// y[n] = (1 - a) y[n-1] + a g x[n] (g the channel's gain), run here in doubles
// for comparison: through the voice (the AVX2 kernel where the processor has
// it), and on the SSE2 kernel alone.
TEST(Muffle, TheFilterIsOnePoleAndCarriesOnAcrossCalls) {
    const float a = lowpass_coefficient(0.7f, 48000), gain[2] = {0.5f, 0.25f};
    const std::vector<float> x = tone(3000);
    std::vector<double> want(x.size());
    double y[2] = {x[0] * gain[0], x[1] * gain[1]}; // a fresh filter starts from the first sample
    for (size_t i = 0; i < x.size(); ++i)
        want[i] = y[i % 2] = (1.0 - a) * y[i % 2] + a * gain[i % 2] * x[i];
    for (uint32_t chunk : {9600u, 37u, 2u, 1u}) {
        std::vector<float> voice, sse2 = x;
        filtered_rms(3000, 0.7f, chunk, &voice, gain);
        float state[2] = {x[0] * gain[0], x[1] * gain[1]};
        for (uint32_t f = 0; f < kFrames; f += chunk)
            lowpass_stereo_sse2(a, gain, sse2.data() + 2 * f, std::min(chunk, kFrames - f), state);
        for (size_t i = 0; i < x.size(); ++i) {
            ASSERT_NEAR(voice[i], want[i], 1e-5) << "calls of " << chunk << " frames, sample " << i;
            ASSERT_NEAR(sse2[i], want[i], 1e-5) << "SSE2, calls of " << chunk << " frames, sample " << i;
        }
    }
}

// The radio's wide kernel (sixteen stereo frames at a time, where the
// processor has AVX2) gives the frame-by-frame outputs, in calls of any length
// (odd ones leave a pair pending), with the gains still to apply and without,
// part radio and all radio (which skips the clean part).
TEST(Radio, TheWideKernelIsTheFrameByFrameOne) {
    RadioFilter filter{};
    radio_design(filter, 48000);
    std::vector<float> x(2 * kFrames);
    for (size_t i = 0; i < x.size(); ++i) // two tones and an edge, both channels apart
        x[i] = static_cast<float>(0.4 * std::sin(0.05 * i) + (i % 2 == 0 ? 0.2 : -0.1) * std::sin(0.7 * i)) +
               (i > 9000 ? 0.3f : 0.0f);
    const float pan[2] = {0.9f, 0.3f}, gains[2] = {0.9f, 0.3f}, unity[2] = {1.0f, 1.0f};
    for (const auto &[g, amount] : {std::pair{gains, 0.8f}, {unity, 0.8f}, {gains, 1.0f}}) {
        const RadioMix mix = radio_mix(filter, amount, pan, g, 2);
        for (uint32_t chunk : {9600u, 37u, 17u, 16u, 1u}) {
            std::vector<float> wide = x, plain = x;
            RadioState w{}, p{};
            radio_start(filter, radio_mono(mix, x.data(), 2), w);
            p = w;
            for (uint32_t f = 0; f < kFrames; f += chunk) {
                const uint32_t n = std::min(chunk, kFrames - f);
                radio_apply(filter, mix, wide.data() + 2 * f, n, 2, 2, w);
                radio_apply_plain(filter, mix, plain.data() + 2 * f, n, 2, 2, p);
            }
            for (size_t i = 0; i < x.size(); ++i)
                ASSERT_NEAR(wide[i], plain[i], 1e-4)
                    << "radio " << amount << ", calls of " << chunk << " frames, sample " << i;
        }
    }
}

namespace {

// Channel `channel`'s RMS over the second half of a tone of amplitude `level`
// on every channel (plus `offset`), played through a voice at target t.
double voice_rms(const VoiceTarget &t, uint16_t channels, uint16_t channel, uint32_t rate = 48000,
                 double hz = 1000, float level = 0.5f, float offset = 0, std::vector<float> *out = nullptr) {
    std::vector<float> pcm(static_cast<size_t>(kFrames) * channels);
    for (uint32_t f = 0; f < kFrames; ++f)
        for (uint16_t c = 0; c < channels; ++c)
            pcm[f * channels + c] =
                offset + level * static_cast<float>(std::sin(6.283185307179586 * hz * f / rate));
    VoiceState v;
    voice_start(v, t);
    for (uint32_t f = 0; f < kFrames; f += 960)
        voice_apply(v, t, pcm.data() + static_cast<size_t>(f) * channels, std::min(960u, kFrames - f),
                    channels, rate, 0);
    double sum = 0;
    for (uint32_t f = kFrames / 2; f < kFrames; ++f)
        sum += static_cast<double>(pcm[f * channels + channel]) * pcm[f * channels + channel];
    if (out != nullptr) *out = pcm;
    return std::sqrt(sum / (kFrames / 2));
}

} // namespace

// A radio is made once from the channels and panned like the clean voice:
// each channel carries its multiplier's share of one radio voice whose level
// does not depend on the pan (a voice panned hard to one side keeps its level,
// where a plain sum of the channels would make the centre 3 dB louder), in
// stereo (gain and pan applied by the radio itself), mono and past stereo
// (applied before it); no voice (gain 0) is silent.
TEST(Radio, OneVoicePannedLikeTheCleanOne) {
    const double full = voice_rms({1, 0, 1, 0, 1}, 2, 0);
    const float centre = std::sqrt(0.5f);
    const struct {
        VoiceTarget target;
        uint16_t channels, channel;
        double share;
    } cases[] = {{{centre, centre, 1, 0, 1}, 2, 0, centre},
                 {{centre, centre, 1, 0, 1}, 2, 1, centre},
                 {{0.3f, 0.2f, 1, 0, 1}, 2, 1, 0.2},
                 {{0, 1, 1, 0, 1}, 2, 0, 0},
                 {{1, 1, 0.5f, 0, 1}, 1, 0, 0.5},
                 {{1, 0, 0.8f, 0, 1}, 3, 2, 0.8},
                 {{0, 0, 0, 0, 1}, 2, 1, 0}};
    for (const auto &c : cases)
        EXPECT_NEAR(voice_rms(c.target, c.channels, c.channel), c.share * full, 1e-3 * full)
            << c.channels << " channels, channel " << c.channel << ", left " << c.target.left;
}

// At any rate, however loud the input, the radio stays finite and within
// what the clip allows; a speaker starting mid-word on a steady level starts
// from it (no thump: exact silence); from 32 kHz on, 1 kHz keeps within 3 dB.
TEST(Radio, SaneAtEveryRate) {
    const VoiceTarget radio{1, 0, 1, 0, 1};
    for (uint32_t rate : {1u, 7u, 8000u, 11025u, 22050u, 32000u, 44100u, 48000u, 96000u}) {
        std::vector<float> pcm;
        voice_rms(radio, 2, 0, rate, 0, 0, 0.5f, &pcm);
        EXPECT_TRUE(std::all_of(pcm.begin(), pcm.end(), [](float x) { return x == 0.0f; })) << rate << " Hz";
        voice_rms(radio, 2, 0, rate, 3000, 40.0f, 2.0f, &pcm);
        EXPECT_TRUE(std::all_of(pcm.begin(), pcm.end(), [](float x) { return std::fabs(x) <= 0.4f; }))
            << rate << " Hz";
        if (rate >= 32000) {
            EXPECT_NEAR(db(voice_rms(radio, 2, 0, rate) / (0.5 / std::sqrt(2.0))), -1.3, 1.0) << rate;
        }
    }
}

TEST(Muffle, ASpeakerWhoLosesTheirRowStillFallsSilent) {
    for (uint32_t smoothing_ms : {0u, 1u}) {
        VoiceState v;
        voice_start(v, {1, 1, 1, 1, 0});
        std::vector<float> loud(2 * 8, 1.0f);
        voice_apply(v, {1, 1, 1, 1, 0}, loud.data(), 8, 2, kRate, smoothing_ms);
        // No row: silence and no muffle; with smoothing both ramp there in 4 frames.
        std::vector<float> pcm;
        for (int call = 0; call < 2; ++call) {
            pcm.assign(2 * 4, 1.0f);
            voice_apply(v, kSilent, pcm.data(), 4, 2, kRate, smoothing_ms);
        }
        EXPECT_EQ(pcm, std::vector<float>(pcm.size(), 0.0f)) << smoothing_ms;
    }
}
