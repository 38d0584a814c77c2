// The whole path from host to ears: the host synchronises with a roster, the
// worker authenticates to the scripted falloff server with the local alias and
// an independently computed proof, the server's UPDATE2 arrives, and every
// speaker's buffer comes out scaled by its gain and equal-power pan, in mono,
// stereo and six channels. Leaving the server silences everyone. Runs natively
// and, cross-built, under Wine.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "fake_host.h"
#include "log_file.h"
#include "plugin_library.h"
#include "proof_vectors.h"
#include "script_server.h"

namespace mvtest {
namespace {

constexpr mv::ConnectionId kConnection = 4;
constexpr mv::UserId kLocalUser = 1;
constexpr mv::UserId kStranger = 99; // a speaker the host has no name for
constexpr uint32_t kRate = 48000;

struct Speaker {
    mv::UserId id;
    const char *name;
    bool has_row;
    float gain, pan; // as they must be applied, after clamping
};

// The server names the first seven; VC-Fox_1 as vc-fox_1, VC-Loud with values
// out of range. VC-NoRow is in Mumble's roster but not in the update.
const Speaker kSpeakers[] = {
    {10, "VC-L", true, 1.0f, -1.0f},   {11, "VC-HL", true, 1.0f, -0.5f},
    {12, "VC-C", true, 1.0f, 0.0f},    {13, "VC-HR", true, 1.0f, 0.5f},
    {14, "VC-R", true, 1.0f, 1.0f},    {15, "VC-Fox_1", true, 0.5f, -0.2f},
    {16, "VC-Loud", true, 1.0f, 1.0f}, {17, "VC-NoRow", false, 0.0f, 0.0f},
};
constexpr char kUpdate[] =
    "UPDATE2 VC-L 1 -1, VC-HL 1 -0.5, VC-C 1 0, VC-HR 1 0.5, VC-R 1 1, vc-fox_1 0.5 -0.2, VC-Loud 1.5 3";

// The law as written, in 32-bit floats: subtract or add, halve, root, gain.
float left_factor(float gain, float pan) {
    return std::sqrt((1.0f - pan) * 0.5f) * gain;
}
float right_factor(float gain, float pan) {
    return std::sqrt((1.0f + pan) * 0.5f) * gain;
}

struct Layout {
    uint16_t channels;
    uint32_t frames;
};
constexpr Layout kLayouts[] = {{1, 441}, {2, 960}, {6, 600}};

// Distinct values of both signs, largest magnitude 0.875, so that a sample
// given the wrong factor (or none) shows.
std::vector<float> pattern(size_t n) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = (i % 2 == 0 ? 1.0f : -1.0f) * (0.125f + static_cast<float>(i % 13) * 0.0625f);
    return v;
}

float peak(const std::vector<float> &v) {
    float p = 0.0f;
    for (float x : v)
        p = std::fabs(x) > p ? std::fabs(x) : p;
    return p;
}

std::string trace_line(uint32_t sequence, const Speaker &s, const char *alias, bool alias_found,
                       Layout layout, float left, float right, float before, float after) {
    char line[512];
    std::snprintf(line, sizeof line,
                  "audio_apply sequence=%lu user_id=%u alias=%s alias_found=%d state_found=%d gain=%.4f "
                  "pan=%.4f channels=%u samples=%u rate=%u left_multiplier=%.4f right_multiplier=%.4f "
                  "peak_before=%.6f peak_after=%.6f peak_ratio=%.4f",
                  static_cast<unsigned long>(sequence), s.id, alias, alias_found ? 1 : 0, s.has_row ? 1 : 0,
                  static_cast<double>(s.gain), static_cast<double>(s.pan), unsigned{layout.channels},
                  layout.frames, kRate, static_cast<double>(left), static_cast<double>(right),
                  static_cast<double>(before), static_cast<double>(after),
                  static_cast<double>(before > 1e-7f ? after / before : 0.0f));
    return line;
}

class AudioEndToEnd : public ::testing::Test {
  protected:
    const ProofVector &vector_ = cert40();

    Handshake handshake() const { return {"e2e-key", "VC-Me", vector_.token, vector_.proof}; }

    std::vector<RosterUser> roster() const {
        std::vector<RosterUser> users{{kLocalUser, "VC-Me", vector_.key}};
        for (const Speaker &s : kSpeakers)
            users.push_back({s.id, s.name, std::string(40, 'a' + static_cast<char>(s.id % 26))});
        return users;
    }

    // One call of the audio callback; counts the calls that pass its gate,
    // which is how the plugin numbers (and samples) its trace lines.
    bool fetch(FakeHost &host, std::vector<float> &pcm, Layout layout, mv::UserId user) {
        const bool processed =
            host.plugin().onAudioSourceFetched(pcm.data(), layout.frames, layout.channels, kRate, true, user);
        if (processed) ++sequence_;
        return processed;
    }

    // Silent calls for a stranger until the next call is traced (multiple of 100).
    void advance_to_traced(FakeHost &host) {
        std::vector<float> one(2, 0.5f);
        while ((sequence_ + 1) % 100 != 0)
            ASSERT_TRUE(fetch(host, one, {2, 1}, kStranger));
    }

    uint32_t sequence_ = 0;
};

TEST_F(AudioEndToEnd, EverySpeakerScaledAsTheServerSaysUntilTheServerIsLeft) {
    ScriptServer server({
        Step::handshake(handshake()),
        Step::send_line(kUpdate),
        Step::expect_close(),
    });
    TempPluginDir dir;
    FakeHost host(dir.library_path());
    dir.write_ini("server_port=" + std::to_string(server.port()) + "\napi_key=e2e-key\nreconnect_sec=1\n");
    ASSERT_TRUE(host.start(roster(), kConnection)) << host.load_error();
    host.plugin().onServerSynchronized(kConnection);

    // The update is in the table once its count line is written.
    ASSERT_TRUE(wait_for_log_file(dir, "received UPDATE2 with 7 speakers"));
    EXPECT_EQ(server.errors(), std::vector<std::string>{});

    std::vector<std::string> want_traces;
    for (const Speaker &s : kSpeakers) {
        for (const Layout &layout : kLayouts) {
            SCOPED_TRACE(std::string(s.name) + ", " + std::to_string(layout.channels) + " channels");
            const std::vector<float> in = pattern(size_t{layout.frames} * layout.channels);
            std::vector<float> out = in;
            ASSERT_TRUE(fetch(host, out, layout, s.id));
            const float left = layout.channels == 1 ? s.gain : left_factor(s.gain, s.pan);
            const float right = layout.channels == 1 ? s.gain : right_factor(s.gain, s.pan);
            for (size_t i = 0; i < in.size(); ++i) {
                const size_t channel = i % layout.channels;
                const float factor = channel == 0 ? left : channel == 1 ? right : s.gain;
                ASSERT_EQ(out[i], in[i] * factor) << "sample " << i;
            }
            if (sequence_ <= 5)
                want_traces.push_back(
                    trace_line(sequence_, s, s.name, true, layout, left, right, peak(in), peak(out)));
        }
    }

    // A speaker the host has no name for is silenced like one without a row.
    for (const Layout &layout : kLayouts) {
        std::vector<float> out = pattern(size_t{layout.frames} * layout.channels);
        ASSERT_TRUE(fetch(host, out, layout, kStranger));
        EXPECT_EQ(peak(out), 0.0f) << layout.channels;
    }

    // The first five calls were traced, exactly as they were made. A mono call
    // reports the gain as both multipliers.
    ASSERT_TRUE(wait_for_log_file(dir, "audio_apply sequence=5 "));
    std::vector<std::string> traces;
    for (const std::string &m : log_messages(dir))
        if (m.starts_with("audio_apply")) traces.push_back(m);
    EXPECT_EQ(traces, want_traces);
    ASSERT_FALSE(traces.empty());
    EXPECT_EQ(traces[0],
              "audio_apply sequence=1 user_id=10 alias=VC-L alias_found=1 state_found=1 gain=1.0000 "
              "pan=-1.0000 channels=1 samples=441 rate=48000 left_multiplier=1.0000 "
              "right_multiplier=1.0000 peak_before=0.875000 peak_after=0.875000 peak_ratio=1.0000");

    // A traced call while joined, then leaving the server: both tables are
    // emptied, and the same call is silent and finds no alias. The row was
    // sent as vc-fox_1; the trace shows the alias in the map's form.
    const Speaker &fox = kSpeakers[5];
    const Layout stereo{2, 960};
    advance_to_traced(host);
    std::vector<float> out = pattern(1920);
    ASSERT_TRUE(fetch(host, out, stereo, fox.id));
    const std::string joined_trace =
        trace_line(sequence_, fox, "VC-Fox_1", true, stereo, left_factor(0.5f, -0.2f),
                   right_factor(0.5f, -0.2f), 0.875f, peak(out));

    host.plugin().onServerDisconnected(kConnection);
    EXPECT_TRUE(server.wait_for_peer_close(0));
    for (const Speaker &s : kSpeakers) {
        for (const Layout &layout : kLayouts) {
            std::vector<float> silenced = pattern(size_t{layout.frames} * layout.channels);
            ASSERT_TRUE(fetch(host, silenced, layout, s.id));
            EXPECT_EQ(peak(silenced), 0.0f) << s.name << ", " << layout.channels << " channels";
        }
    }
    advance_to_traced(host);
    out = pattern(1920);
    ASSERT_TRUE(fetch(host, out, stereo, fox.id));
    const Speaker forgotten{fox.id, fox.name, false, 0.0f, 0.0f};
    const std::string left_trace =
        trace_line(sequence_, forgotten, "<redacted>", false, stereo, 0.0f, 0.0f, 0.875f, 0.0f);
    ASSERT_TRUE(wait_for_log_file(dir, left_trace));
    const std::vector<std::string> messages = log_messages(dir);
    EXPECT_EQ(count_containing(messages, joined_trace), 1u) << joined_trace;
    EXPECT_EQ(count_containing(messages, left_trace), 1u);

    ASSERT_TRUE(server.wait_until_done());
    EXPECT_EQ(server.errors(), std::vector<std::string>{});
    EXPECT_EQ(server.connections(), 1u);
    host.shutdown();
    EXPECT_EQ(host.contract_violations(), std::vector<std::string>{});
}

} // namespace
} // namespace mvtest
