// Hours of play in a few seconds: links made and dropped by the host and by
// the server, and the plugin loaded and unloaded over and over. The process's
// open handles (sockets, files, events) and threads must end where they
// started.
#include <gtest/gtest.h>

#include "os_probe.h"
#include "session.h"

namespace mvtest {
namespace {

constexpr ConnectionId kConnection = 11;
const std::vector<RosterUser> kRoster = roster({{2, "VC-Fox", ""}});

// A reading once nothing is closing any more: the same twice in a row.
ResourceCounts steady() {
    ResourceCounts last = baseline_counts();
    // A probe that cannot count would make every comparison pass.
    EXPECT_GT(last.handles, 0);
    EXPECT_GT(last.threads, 0);
    eventually(
        [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const ResourceCounts now = resource_counts();
            const bool same = now.handles == last.handles && now.threads == last.threads;
            last = now;
            return same;
        },
        std::chrono::seconds(1));
    return last;
}

// Closing a socket or ending a thread can lag a little: polls until both
// counts are back where they were.
void expect_back_at(const ResourceCounts &before) {
    ResourceCounts now{};
    eventually([&] {
        now = resource_counts();
        return now.handles <= before.handles + now.handle_slack && now.threads <= before.threads;
    });
    EXPECT_LE(now.handles, before.handles + now.handle_slack) << "handles before " << before.handles;
    EXPECT_LE(now.threads, before.threads);
}

// The host joins and leaves the server again and again, each time with a
// whole link (connect, handshake, established) that leaving tears down; in
// between the server drops the link a few times and the plugin comes back.
TEST(Resources, LinksMadeAndDroppedByTheHostAndTheServer) {
    const size_t cycles = kSlowBuild ? 300 : 1000, drops = 4;
    std::vector<Step> script;
    for (size_t i = 0; i <= cycles + drops; ++i) {
        const bool drop = i >= 1 && i <= drops;
        script.insert(script.end(), {Step::handshake(handshake()),
                                     drop ? Step::close() : Step::expect_close(), Step::accept()});
    }
    ScriptServer server(std::move(script));
    Plugin p(settings(server.port()));
    ASSERT_TRUE(p.host.start());
    // One round first, so that whatever the first link sets up for good is in
    // the baseline.
    p.host.join(kConnection, kRoster);
    ASSERT_TRUE(p.host.wait_for_log("connected to falloff", 1));
    p.host.leave();
    ASSERT_TRUE(server.wait_for_peer_close(0));
    const ResourceCounts before = steady();

    p.host.join(kConnection, kRoster);
    ASSERT_TRUE(p.host.wait_for_log("connected to falloff", 2 + drops));
    p.host.leave();
    for (size_t i = 1; i < cycles; ++i) {
        p.host.join(kConnection, kRoster);
        ASSERT_TRUE(p.host.wait_for_log("connected to falloff", 2 + drops + i)) << "cycle " << i;
        p.host.leave();
    }
    ASSERT_TRUE(server.wait_for_peer_close(cycles + drops));
    expect_back_at(before);
    p.finish();
    EXPECT_EQ(server.errors(), kNone);
    EXPECT_EQ(server.connections(), cycles + drops + 1);
    EXPECT_EQ(p.count("falloff_connect_attempt"), cycles + drops + 1);
}

// The whole plugin comes and goes: load, start mid-session, leave, join, shut
// down, unload.
TEST(Resources, LoadStartStopUnloadCycles) {
    const int cycles = kSlowBuild ? 50 : 200;
    const TempPluginDir dir(mvhost::build_path(MV_PLUGIN_LIBRARY));
    dir.write_ini(settings(mvnet::refused_port()));
    const ResourceCounts before = steady();
    for (int i = 0; i < cycles; ++i) {
        Host host(dir.library_path());
        ASSERT_TRUE(host.start(kRoster, kConnection)) << host.load_error();
        host.leave();
        host.join(kConnection, kRoster);
        host.unload();
        ASSERT_EQ(host.contract_violations(), kNone) << "cycle " << i;
    }
    expect_back_at(before);
    EXPECT_FALSE(library_mapped(dir.library_path()));
}

} // namespace
} // namespace mvtest
