// The host's server, user and channel events as the plugin answers them: the
// local identity it reads and logs, the voice alias map it rebuilds (and how
// aliases appear in the log), one worker however often the host synchronises,
// and nothing at all outside a synchronised server.
#include <gtest/gtest.h>

#include "session.h"

namespace mvtest {
namespace {

constexpr ConnectionId kConnection = 6;
constexpr char kNoHash[] = "Mumble certificate hash is empty; v05 voice authentication unavailable";

// The identity lines, as many as there are, in both logs; the hash is cut to
// eight characters.
TEST(ServerEvents, LocalIdentityIsLoggedWithTheHashCutToEightCharacters) {
    const struct {
        std::string name, hash;
        std::vector<std::string> lines;
    } cases[] = {
        {"VC-Me", cert40().key, {"local voice alias=VC-Me", "local Mumble hash=3f1a9c0e"}},
        {"VC-Me", "abcde", {"local voice alias=VC-Me", "local Mumble hash=abcde"}},
        {"VC-Me", "", {"local voice alias=VC-Me", kNoHash}},
        {"", "abcdefghi", {"local Mumble hash=abcdefgh"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name + "/" + c.hash);
        Plugin p(settings(mvnet::refused_port()));
        ASSERT_TRUE(p.host.start({{kMe, c.name, c.hash}}, kConnection));
        p.finish();
        std::vector<std::string> identity;
        for (const std::string &line : p.host.log_lines())
            if (line.find("local ") != std::string::npos || line.find("hash") != std::string::npos)
                identity.push_back(line.substr(line.find("] ") + 2));
        EXPECT_EQ(identity, c.lines);
        for (const std::string &line : c.lines)
            EXPECT_EQ(p.count(line), 1u) << line;
    }
}

// The map's log lines: every user the host lists (the local user included)
// whose name it can read, in its order; names that are not voice aliases of
// safe characters appear as <redacted>; names are cut at 127 characters. Each
// user event rebuilds the map whole; only the file shows it.
TEST(ServerEvents, EveryRefreshLogsTheMapWithUnsafeNamesRedacted) {
    const std::string long_name = "VC-" + std::string(147, 'x');
    Plugin p(settings(mvnet::refused_port()));
    ASSERT_TRUE(p.host.start(roster({{2, "Player1", ""},
                                     {3, "VC-ab c", ""},
                                     {4, "vc-abc_1", ""},
                                     {5, "VC-a.b", ""},
                                     {6, "VCX-", ""},
                                     {7, "VC-", ""},
                                     {8, "VC-\xC3\xA9", ""},
                                     {9, "", ""}, // no row for a user without a name
                                     {10, long_name, ""}}),
                             kConnection));
    const std::vector<std::string> rows = {
        "alias_map user_id=1 alias=VC-Me",
        "alias_map user_id=2 alias=<redacted>",
        "alias_map user_id=3 alias=<redacted>",
        "alias_map user_id=4 alias=vc-abc_1",
        "alias_map user_id=5 alias=<redacted>",
        "alias_map user_id=6 alias=<redacted>",
        "alias_map user_id=7 alias=VC-",
        "alias_map user_id=8 alias=<redacted>",
        "alias_map user_id=10 alias=" + long_name.substr(0, 127),
    };
    const std::string late = "alias_map user_id=11 alias=VC-Late";
    std::vector<std::string> want{"refreshed 9 Mumble voice aliases"};
    want.insert(want.end(), rows.begin(), rows.end());
    p.host.user_joins({11, "VC-Late", ""});
    for (int event = 0; event < 2; ++event) { // user added, then channel entered
        want.push_back("refreshed 10 Mumble voice aliases");
        want.insert(want.end(), rows.begin(), rows.end());
        want.push_back(late);
    }
    p.host.user_leaves(2);
    want.push_back("refreshed 9 Mumble voice aliases");
    want.push_back(rows[0]);
    want.insert(want.end(), rows.begin() + 2, rows.end());
    want.push_back(late);

    std::vector<std::string> map;
    for (const std::string &m : p.log())
        if (m.starts_with("refreshed ") || m.starts_with("alias_map ")) map.push_back(m);
    EXPECT_EQ(map, want);
    EXPECT_EQ(p.host_count("alias_map") + p.host_count("refreshed"), 0u);
    p.finish();
}

// Before init, before the first synchronisation (the host's own join sends
// user events then) and after leaving the server, events ask the host nothing
// and change nothing.
TEST(ServerEvents, UserEventsOutsideASynchronisedServerDoNothing) {
    Plugin p(settings(mvnet::refused_port()));
    p.host.set_roster(roster({{2, "VC-Two", ""}}));
    p.host.set_local_user(kMe);
    p.host.set_connection(kConnection, mvhost::ConnectionState::connected);
    const mvhost::PluginExports &x = p.host.plugin();
    const auto events = [&] {
        x.onUserAdded(kConnection, 2);
        x.onUserRemoved(kConnection, 2);
        x.onChannelEntered(kConnection, 2, 0, 1);
        x.onServerDisconnected(kConnection);
    };
    const auto calls = [&] {
        return std::vector<size_t>{p.host.calls(mvhost::kSlotGetAllUsers),
                                   p.host.calls(mvhost::kSlotGetUserName),
                                   p.host.calls(mvhost::kSlotGetLocalUserId)};
    };
    events();
    ASSERT_TRUE(p.host.start());
    events();
    EXPECT_EQ(calls(), (std::vector<size_t>{0, 0, 0}));
    p.host.join(kConnection, roster({{2, "VC-Two", ""}}));
    EXPECT_TRUE(p.host.wait_for_log("local voice alias=VC-Me"));
    EXPECT_EQ(p.host.calls(mvhost::kSlotGetAllUsers), 1u);
    p.host.leave();
    const std::vector<size_t> joined = calls();
    events();
    EXPECT_EQ(calls(), joined);
    EXPECT_EQ(p.count("refreshed"), 1u);
    p.finish();
}

// Synchronising again never starts a second worker: the one running takes the
// new identity at its next attempt. First without a certificate (the worker
// waits), then with one (it connects), then once more while the link is up.
TEST(ServerEvents, RepeatedSynchronisationKeepsOneWorker) {
    ScriptServer server({Step::handshake(handshake())});
    Plugin p(settings(server.port()));
    ASSERT_TRUE(p.host.start({{kMe, "VC-Me", ""}}, kConnection));
    p.host.set_roster(roster());
    p.host.plugin().onServerSynchronized(kConnection);
    ASSERT_TRUE(p.host.wait_for_log("connected to falloff"));
    p.host.plugin().onServerSynchronized(kConnection);
    // A second worker would begin its attempt at once; give it more than a
    // whole backoff to show itself.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(p.count("falloff"), 2u); // the one attempt and the link
    EXPECT_EQ(p.count("connected to falloff"), 1u);
    EXPECT_EQ(p.count(kNoHash), 1u);
    EXPECT_EQ(p.count("local Mumble hash=3f1a9c0e"), 2u);
    p.finish();
    EXPECT_TRUE(server.wait_for_peer_close(0));
    EXPECT_EQ(server.connections(), 1u);
    EXPECT_EQ(server.errors(), kNone);
}

} // namespace
} // namespace mvtest
