// The gain and equal-power pan on the samples: the pan law against its
// reference table, which channel gets which factor, the peak measurement of
// the trace and which calls are traced.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "audio/spatial.h"

using namespace mv;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// The law exactly as written: subtract or add, halve, square root, times gain,
// all in 32-bit floats.
float left_of(float gain, float pan) {
    return std::sqrt((1.0f - pan) * 0.5f) * gain;
}
float right_of(float gain, float pan) {
    return std::sqrt((1.0f + pan) * 0.5f) * gain;
}

// Distinct, non-trivial values, so that a sample multiplied by the wrong
// factor or not at all shows.
std::vector<float> pattern(size_t n) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = (i % 2 == 0 ? 1.0f : -1.0f) * (0.125f + static_cast<float>(i % 13) * 0.0625f);
    return v;
}

} // namespace

TEST(PanLaw, MatchesTheReferenceTableAtGainOne) {
    const struct {
        float pan, left, right;
    } table[] = {
        {-1.0f, 1.0f, 0.0f},      {-0.5f, 0.8660254f, 0.5f}, {0.0f, 0.70710677f, 0.70710677f},
        {0.5f, 0.5f, 0.8660254f}, {1.0f, 0.0f, 1.0f},
    };
    for (const auto &row : table) {
        SCOPED_TRACE(row.pan);
        const Multipliers m = pan_multipliers(1.0f, row.pan);
        EXPECT_EQ(m.left, left_of(1.0f, row.pan));
        EXPECT_EQ(m.right, right_of(1.0f, row.pan));
        EXPECT_NEAR(m.left, row.left, 1e-7);
        EXPECT_NEAR(m.right, row.right, 1e-7);
    }
}

TEST(ApplyGainPan, EachChannelGetsItsFactor) {
    const struct {
        uint16_t channels;
        uint32_t frames;
    } shapes[] = {{1, 441}, {2, 960}, {2, 1}, {3, 7}, {6, 600}};
    const float gain = 0.5f;
    const Multipliers m = pan_multipliers(gain, -0.25f);
    for (const auto &s : shapes) {
        SCOPED_TRACE(std::to_string(s.channels) + " channels");
        const size_t n = size_t{s.frames} * s.channels;
        std::vector<float> pcm = pattern(n + 4);
        const std::vector<float> before = pcm;
        apply_gain_pan(pcm.data(), s.frames, s.channels, gain, m);
        for (size_t i = 0; i < n; ++i) {
            const size_t channel = i % s.channels;
            float factor = gain; // mono, and channels 2 and up
            if (s.channels > 1 && channel == 0) factor = m.left;
            if (s.channels > 1 && channel == 1) factor = m.right;
            ASSERT_EQ(pcm[i], before[i] * factor) << "sample " << i;
        }
        for (size_t i = n; i < pcm.size(); ++i)
            EXPECT_EQ(pcm[i], before[i]) << "past the buffer at " << i;
    }
}

TEST(PeakAbs, LargestMagnitudeWithNaNNeverThePeak) {
    const struct {
        const char *what;
        std::vector<float> samples;
        float peak;
    } cases[] = {
        {"empty", {}, 0.0f},
        {"all zero", {0.0f, -0.0f, 0.0f}, 0.0f},
        {"negative largest", {0.25f, -0.75f, 0.5f}, 0.75f},
        {"NaN first", {kNaN, 0.5f, -0.25f}, 0.5f},
        {"NaN last", {0.5f, -0.25f, kNaN}, 0.5f},
        {"only NaN", {kNaN, -kNaN}, 0.0f},
        {"infinity is a number", {0.5f, -kInf}, kInf},
        {"above full scale", {1.5f, -2.0f}, 2.0f},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(peak_abs(c.samples.data(), c.samples.size()), c.peak);
    }
}

TEST(TraceSampling, FirstFiveThenEveryHundredth) {
    const struct {
        uint32_t sequence;
        bool traced;
    } cases[] = {
        {1, true},
        {2, true},
        {5, true},
        {6, false},
        {99, false},
        {100, true},
        {101, false},
        {199, false},
        {200, true},
        {300, true},
        {1000000, true},
        {1000001, false},
        // After the counter wraps, 0 to 5 are traced again.
        {0, true},
        {4294967200u, true},
        {4294967295u, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(is_traced(c.sequence), c.traced) << c.sequence;
    }
}
