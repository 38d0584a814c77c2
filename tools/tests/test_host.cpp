// The host stand-in threads and checks as the client does, seen through a
// small plugin of its own and the API table it lends the tests. (The plugin
// tests play the client's events with the real plugin.)
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "host/host.h"

namespace mvhost {
namespace {

constexpr ConnectionId kConn = 7;
const std::vector<RosterUser> kRoster = {{1, "VC-Me", "abc"}, {2, "VC-Fox", ""}};
const char *g_text = nullptr;
UserId *g_users = nullptr, g_id = 0;
size_t g_count = 0;

struct Started {
    Host host{build_path(MV_HOST_TEST_PLUGIN)};
    Started() { EXPECT_TRUE(host.start(kRoster, kConn)) << host.load_error(); }
    // Calls a slot of the API as the plugin would, from the calling thread.
    template <typename... A> Status call(size_t slot, A... args) {
        void **api = reinterpret_cast<void **(*)()>(host.symbol("mvtest_api"))();
        Status (*fn)(PluginId, A...) = nullptr;
        std::memcpy(&fn, &api[slot], sizeof fn);
        return fn(Host::kDefaultPluginId, args...);
    }
    Status release(const void *pointer) { return call(kSlotFreeMemory, pointer); }
};

TEST(HostStandIn, ReportsEachBreachOfTheRules) {
    const struct {
        void (*breach)(Started &s);
        std::string report;
    } cases[] = {
        {[](Started &s) { s.call(kSlotGetUserName, kConn, UserId{2}, &g_text); },
         "never released: getUserName user=2"},
        {[](Started &s) {
             s.call(kSlotGetAllUsers, kConn, &g_users, &g_count), s.release(g_users), s.release(g_users);
         },
         "1 double release(s)"},
        {[](Started &s) { s.release(&g_id); }, "1 release(s) of pointers the host never handed out"},
        {[](Started &s) { // untick and tick
             reinterpret_cast<void (*)()>(s.host.symbol("mvtest_use_lent_table"))();
             s.host.shutdown(), s.host.start();
         },
         "1 call(s) through the host's table after registration returned"},
        {[](Started &s) { s.host.shutdown(), s.call(kSlotGetLocalUserId, kConn, &g_id); },
         "1 API call(s) after shutdown"},
        // The mark lasts for the expression.
        {[](Started &s) { AudioThreadMark{}, s.call(kSlotGetLocalUserId, kConn, &g_id); },
         "1 API call(s) from the audio thread"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.report);
        Started s;
        c.breach(s);
        s.host.shutdown();
        EXPECT_EQ(s.host.contract_violations(), std::vector<std::string>{c.report});
    }
}

TEST(HostStandIn, OtherThreadsTimeOutWhileTheMainThreadIsBusy) {
    Started s;
    const auto log_from_a_thread = [&s] {
        Status status = kStatusGenericError;
        std::thread([&] { status = s.call(kSlotLog, "from a thread"); }).join();
        return status;
    };
    EXPECT_EQ(log_from_a_thread(), kStatusOk); // the main thread is free to serve it
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(s.host.on_main(log_from_a_thread), kStatusTimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(750));
    // On the main thread: at once.
    EXPECT_EQ(s.host.on_main([&] { return s.call(kSlotGetLocalUserId, kConn, &g_id); }), kStatusOk);
    EXPECT_EQ(s.host.timeouts(), 1u);
    const std::vector<std::string> lines = s.host.log_lines(); // the withdrawn call never ran
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "from a thread"), 1);
    s.host.shutdown();
    EXPECT_EQ(s.host.contract_violations(), std::vector<std::string>{});
}

} // namespace
} // namespace mvhost
