// The two clocks of the falloff link, driven with injected millisecond ticks:
// when the worker sends its own PING, and when an update may write its
// per-speaker log lines. Both must survive the 32-bit tick wrapping (about
// every 49.7 days of uptime).
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "falloff/apply_update.h"
#include "falloff/ping_clock.h"
#include "log/log.h"
#include "log_fixture.h"
#include "state/state.h"

namespace fs = std::filesystem;
using namespace mv;

namespace {

constexpr uint32_t kMax = UINT32_MAX;

} // namespace

TEST(PingClock, DueFromTheTwentyFirstSecondWhateverTheWrap) {
    const struct {
        uint32_t last, now;
        bool due;
    } cases[] = {
        {0, 0, false},
        {0, 20000, false},
        {0, 20001, true},
        {1000, 21001, true},
        // The tick wraps between the last PING and now.
        {kMax - 9999, 10000, false}, // 20000 ms later
        {kMax - 9999, 10001, true},  // 20001 ms later
        {kMax, 20000, true},
        {kMax, 19999, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(ping_due(c.last, c.now), c.due) << c.last << " -> " << c.now;
    }
}

TEST(UpdateLogGate, OpenAtFirstThenAtMostEveryTwoSeconds) {
    const struct {
        uint32_t last, now;
        bool open;
    } cases[] = {
        {0, 0, true}, // never logged yet
        {0, kMax, true},
        {1000, 2999, false},
        {1000, 3000, true},
        {kMax - 999, 999, false}, // 1999 ms later, across the wrap
        {kMax - 999, 1000, true}, // 2000 ms later
        {kMax, 1999, true},
        {kMax, 1998, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(update_log_gate_open(c.last, c.now), c.open) << c.last << " -> " << c.now;
    }
}

// Apply update with its injected tick: the gate decides which log lines an
// update writes. The file log is the real one, pointed at a private file.
class UpdateLogLines : public mvunit::LogFileTest {
  protected:
    void SetUp() override {
        LogFileTest::SetUp();
        platform::LockGuard guard(g_state.lock);
        g_state.last_update_log_ms = 0;
    }
    void TearDown() override {
        clear_speakers();
        LogFileTest::TearDown();
    }
    std::vector<std::string> new_messages() { return messages(true); }
    static size_t live_speakers() { return g_state.speakers.load()->count; }
};

// A sequence of updates at injected ticks: the gate mutes the per-speaker
// lines (not the update), an empty update still moves it, and it works
// across the wrap.
TEST_F(UpdateLogLines, GateDecidesWhichUpdatesWriteTheirSpeakers) {
    const std::string count2 = "received UPDATE2 with 1 speakers";
    const struct {
        UpdateKind kind;
        const char *payload;
        uint32_t now;
        std::vector<std::string> lines;
    } steps[] = {
        {UpdateKind::update2,
         " VC-a 0.5 -0.25, VC-b 1 1",
         10000,
         {"received UPDATE2 with 2 speakers", "update_state alias=VC-a gain=0.5000 pan=-0.2500",
          "update_state alias=VC-b gain=1.0000 pan=1.0000"}},
        {UpdateKind::update3, "VC-c 0.25", 10500, {"received UPDATE3 with 1 speakers"}},
        {UpdateKind::update, "VC-d 0.75 0.5", 11999, {"received UPDATE with 1 speakers"}},
        {UpdateKind::update,
         "VC-d 0.75 0.5",
         12000,
         {"received UPDATE with 1 speakers", "update_state alias=VC-d gain=0.7500 pan=0.0000"}},
        {UpdateKind::update, "", 50000, {"received UPDATE with 0 speakers"}},
        {UpdateKind::update2, "VC-a 1", 50500, {count2}},
        {UpdateKind::update2,
         "VC-a 1",
         kMax - 500,
         {count2, "update_state alias=VC-a gain=1.0000 pan=0.0000"}},
        {UpdateKind::update2, "VC-a 1", 1498, {count2}}, // 1999 ms later, across the wrap
        {UpdateKind::update2, "VC-a 1", 1499, {count2, "update_state alias=VC-a gain=1.0000 pan=0.0000"}},
        // Only voice aliases of safe characters are shown; a muffle only when there is one.
        {UpdateKind::update3,
         "VC-ok_1 1, vc-abc 0.5 0 0.5, VC-a.b 1 -1, Player 0 0",
         7000,
         {"received UPDATE3 with 4 speakers", "update_state alias=VC-ok_1 gain=1.0000 pan=0.0000",
          "update_state alias=vc-abc gain=0.5000 pan=0.0000 muffle=0.5000",
          "update_state alias=<redacted> gain=1.0000 pan=-1.0000",
          "update_state alias=<redacted> gain=0.0000 pan=0.0000"}},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.now);
        apply_update(step.kind, step.payload, step.now);
        EXPECT_EQ(new_messages(), step.lines);
    }
    EXPECT_EQ(live_speakers(), 4u);
}

TEST_F(UpdateLogLines, AtMostEightSpeakerLinesThenTheRestCounted) {
    const struct {
        size_t speakers;
        size_t lines; // update_state alias=... lines
        std::string omitted;
    } cases[] = {
        {5, 5, ""},
        {8, 8, ""},
        {9, 8, "update_state omitted=1"},
        {600, 8, "update_state omitted=504"},
    };
    uint32_t now = 100000;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.speakers);
        std::string payload;
        for (size_t i = 0; i < c.speakers; ++i)
            payload += "VC-" + std::to_string(i) + " 1,";
        apply_update(UpdateKind::update2, payload, now += 5000);
        const size_t total = c.speakers < 512 ? c.speakers : 512;
        std::vector<std::string> want{"received UPDATE2 with " + std::to_string(total) + " speakers"};
        for (size_t i = 0; i < c.lines; ++i)
            want.push_back("update_state alias=VC-" + std::to_string(i) + " gain=1.0000 pan=0.0000");
        if (!c.omitted.empty()) want.push_back(c.omitted);
        EXPECT_EQ(new_messages(), want);
    }
}
