// What the trace of the audio path measures and which calls it samples (the
// samples themselves are checked end to end, exactly, by the plugin suites).
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

} // namespace

TEST(PeakAbs, LargestMagnitudeWithNaNNeverThePeak) {
    const struct {
        std::vector<float> samples;
        float peak;
    } cases[] = {
        {{}, 0.0f},
        {{0.25f, -0.75f, 0.5f}, 0.75f},
        {{kNaN, 0.5f, -0.25f}, 0.5f},
        {{kNaN, -kNaN}, 0.0f},
        {{0.5f, -kInf}, kInf},
    };
    for (const auto &c : cases)
        EXPECT_EQ(peak_abs(c.samples.data(), c.samples.size()), c.peak) << c.samples.size();
}

TEST(TraceSampling, FirstFiveThenEveryHundredth) {
    const struct {
        uint32_t sequence;
        bool traced;
    } cases[] = {
        {1, true},           {5, true},
        {6, false},          {99, false},
        {100, true},         {101, false},
        {200, true},         {1000001, false},
        {0, true}, // after the wrap, 0 to 5 again
        {4294967200u, true}, {4294967295u, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(is_traced(c.sequence), c.traced) << c.sequence;
    }
}
