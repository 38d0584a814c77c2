// Measuring what the plugin did to a voice, and the files the simulator writes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>

#include "common/roster.h"
#include "sim/audio.h"

namespace mvtools {
namespace {

// The equal-power law, written out here rather than taken from the plugin.
void apply_law(std::vector<float> &buf, double gain, double pan) {
    const double l = std::sqrt((1 - pan) * 0.5) * gain, r = std::sqrt((1 + pan) * 0.5) * gain;
    for (size_t i = 0; i < buf.size(); i += 2) {
        buf[i] = static_cast<float>(buf[i] * l);
        buf[i + 1] = static_cast<float>(buf[i + 1] * r);
    }
}

TEST(Measure, RecoversGainAndPanOfTheEqualPowerLaw) {
    Voice voice(1);
    std::vector<float> in(960 * 2);
    voice.render(in.data(), 960);
    const std::pair<double, double> cases[] = {{1, 0},      {1, -1},     {1, 1},
                                               {0.5, -0.2}, {0.25, 0.9}, {0.9, -0.5}};
    for (const auto &[gain, pan] : cases) {
        std::vector<float> out = in;
        apply_law(out, gain, pan);
        const Measured m = measure(in.data(), out.data(), 960);
        EXPECT_FALSE(m.silent);
        EXPECT_NEAR(m.gain, gain, 1e-5) << gain << " " << pan;
        EXPECT_NEAR(m.pan, pan, 1e-5) << gain << " " << pan;
    }
    std::vector<float> out(in.size(), 0.0f);
    const Measured silent = measure(in.data(), out.data(), 960);
    EXPECT_TRUE(silent.silent);
    EXPECT_EQ(silent.gain, 0);
    EXPECT_TRUE(measure(in.data(), in.data(), 0).silent);
}

TEST(Voice, IsNeverSilentAndTheSameInBothChannels) {
    for (size_t index = 0; index < 4; ++index) {
        Voice v(index);
        std::vector<float> buf(480 * 2);
        for (int block = 0; block < 100; ++block) {
            v.render(buf.data(), 480);
            double power = 0;
            for (size_t i = 0; i < buf.size(); i += 2) {
                ASSERT_EQ(buf[i], buf[i + 1]);
                ASSERT_LE(std::fabs(buf[i]), 1.0f);
                power += static_cast<double>(buf[i]) * buf[i];
            }
            ASSERT_GT(power, 1e-6) << "voice " << index << " block " << block;
        }
    }
}

TEST(WavWriter, WritesAPlayableHeaderAndClipsLoudSamples) {
    const auto path = (std::filesystem::temp_directory_path() / "marlpike-wav-test.wav").string();
    {
        WavWriter w;
        ASSERT_TRUE(w.open(path));
        const float frames[] = {0.5f, -0.5f, 2.0f, -2.0f, 0.0f, 1.0f};
        w.write(frames, 3);
    }
    std::string bytes;
    ASSERT_TRUE(read_text_file(path, &bytes));
    std::filesystem::remove(path);
    ASSERT_EQ(bytes.size(), 44u + 12u);
    auto u32 = [&](size_t at) {
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i)
            v = v << 8 | static_cast<unsigned char>(bytes[at + static_cast<size_t>(i)]);
        return v;
    };
    auto s16 = [&](size_t at) {
        return static_cast<int16_t>(static_cast<unsigned char>(bytes[at]) |
                                    static_cast<unsigned char>(bytes[at + 1]) << 8);
    };
    EXPECT_EQ(bytes.substr(0, 4), "RIFF");
    EXPECT_EQ(u32(4), 36u + 12u);
    EXPECT_EQ(bytes.substr(8, 8), "WAVEfmt ");
    EXPECT_EQ(u32(24), 48000u);
    EXPECT_EQ(u32(40), 12u);
    EXPECT_EQ(s16(44), 16384);  // 0.5, rounded
    EXPECT_EQ(s16(48), 32767);  // 2.0 clipped
    EXPECT_EQ(s16(50), -32767); // -2.0 clipped
}

TEST(Svg, DrawsOneLinePerSpeakerAndBreaksPanWhileSilent) {
    Series a{"VC-<A>", {0, 1, 2, 3}, {1, 0, 0, 1}, {0.5, NAN, NAN, -0.5}};
    Series b{"VC-B", {0, 1, 2, 3}, {0.2, 0.2, 0.2, 0.2}, {1, 1, 1, 1}};
    const std::string svg = render_svg("title", {a, b}, 3);
    const std::regex polyline("<polyline[^>]*stroke=\"(#[0-9a-f]+)\"");
    std::map<std::string, int> lines_per_colour;
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), polyline); it != std::sregex_iterator(); ++it)
        ++lines_per_colour[(*it)[1]];
    ASSERT_EQ(lines_per_colour.size(), 2u);
    // A: one gain line and a pan line broken in two; B: one of each.
    std::vector<int> counts;
    for (const auto &[colour, n] : lines_per_colour)
        counts.push_back(n);
    std::sort(counts.begin(), counts.end());
    EXPECT_EQ(counts, (std::vector<int>{2, 3}));
    EXPECT_NE(svg.find("VC-&lt;A&gt;"), std::string::npos); // labels are escaped
    EXPECT_NE(svg.find("time (s)"), std::string::npos);
    EXPECT_EQ(svg.find("nan"), std::string::npos);
}

} // namespace
} // namespace mvtools
