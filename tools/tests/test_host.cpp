// The host stand-in answers, threads and checks as the client does, seen
// through a small plugin of its own (probe.h).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "host/host.h"
#include "probe.h"

namespace mvhost {
namespace {

constexpr ConnectionId kConn = 7;
const std::vector<RosterUser> kRoster = {{1, "VC-Me", "abc"}, {2, "VC-Fox", ""}};
const std::vector<std::string> kNone;
float g_frame[2];

using ProbeFn = Status (*)(int probe, ConnectionId connection, UserId user);

struct Started {
    Host host{build_path(MV_HOST_TEST_PLUGIN)};
    ProbeFn probe = reinterpret_cast<ProbeFn>(host.symbol("mvtest_probe"));
    Started() { EXPECT_TRUE(host.start(kRoster, kConn)) << host.load_error(); }
};

TEST(HostStandIn, ReportsEachBreachOfTheRules) {
    const struct {
        void (*breach)(Host &host, ProbeFn probe);
        std::string report;
    } cases[] = {
        {[](Host &, ProbeFn p) { p(kLeakName, kConn, 2); }, "never released: getUserName user=2"},
        {[](Host &, ProbeFn p) { EXPECT_EQ(p(kFreeTwice, kConn, 0), 1); }, "1 double release(s)"},
        {[](Host &, ProbeFn p) { p(kFreeUnknown, 0, 0); },
         "1 release(s) of pointers the host never handed out"},
        {[](Host &h, ProbeFn p) { p(kStale, 0, 0), h.shutdown(), h.start(); }, // untick, tick
         "1 call(s) through the host's table after registration returned"},
        {[](Host &h, ProbeFn p) { h.shutdown(), p(kLocalId, kConn, 0); }, "1 API call(s) after shutdown"},
        {[](Host &h, ProbeFn) { h.audio_source_fetched(g_frame, 1, 2, 2); },
         "1 API call(s) from the audio thread"},
        {[](Host &, ProbeFn p) { AudioThreadMark{}, p(kLocalId, kConn, 0); }, // marked for the expression
         "1 API call(s) from the audio thread"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.report);
        Started s;
        c.breach(s.host, s.probe);
        s.host.shutdown();
        EXPECT_EQ(s.host.contract_violations(), std::vector<std::string>{c.report});
    }
}

TEST(HostStandIn, OtherThreadsTimeOutWhileTheMainThreadIsBusy) {
    Started s;
    EXPECT_EQ(s.probe(kLogFromThread, 0, 0), kStatusOk); // the main thread is free to serve it
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(s.host.on_main([&] { return s.probe(kLogFromThread, 0, 0); }), kStatusTimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(750));
    EXPECT_EQ(s.host.on_main([&] { return s.probe(kLocalId, kConn, 0); }), kStatusOk); // on main: at once
    EXPECT_EQ(s.host.timeouts(), 1u);
    const std::vector<std::string> lines = s.host.log_lines(); // the withdrawn call never ran
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "from a thread"), 1);
    s.host.shutdown();
    EXPECT_EQ(s.host.contract_violations(), kNone);
}

// Which thread runs each event is the event loops' job; this is their order,
// and what the API answers in each state of the session (11: joining, 2 and 5:
// no server).
TEST(HostStandIn, PlaysTheClientsEventOrderAndAnswersInEachState) {
    Started s; // loaded mid-session: no synchronised event
    s.host.leave();
    s.host.join(8, kRoster);
    s.host.shutdown(); // untick and tick while synchronised
    ASSERT_TRUE(s.host.start());
    s.host.leave();
    s.host.shutdown();
    ASSERT_TRUE(s.host.start());
    EXPECT_EQ(s.host.log_lines(),
              (std::vector<std::string>{"init active=0:7 synced=0:1", "disconnected 7", "connected 8",
                                        "added 1 name=11", "added 2 name=11", "synchronized 8 all-users=0",
                                        "init active=0:8 synced=0:1", "disconnected 8",
                                        "init active=2:-1 synced=5:0"}));
    s.host.shutdown();
    EXPECT_EQ(s.host.contract_violations(), kNone);
}

} // namespace
} // namespace mvhost
