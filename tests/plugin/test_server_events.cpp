// The host's server, user and channel events as the plugin answers them: the
// local identity it reads and logs, the voice alias map it rebuilds (and how
// aliases appear in the log), one worker however often the host synchronises,
// and nothing at all before the first synchronisation. Every string and array
// the host hands out must come back exactly once.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fake_host.h"
#include "log_file.h"
#include "plugin_library.h"
#include "proof_vectors.h"
#include "script_server.h"

namespace mvtest {
namespace {

constexpr mv::ConnectionId kConnection = 6;
constexpr mv::UserId kLocalUser = 1;
constexpr char kPrefix[] = "[marlpike_voice] ";
constexpr char kNoHash[] = "Mumble certificate hash is empty; v05 voice authentication unavailable";

// Port of a server that is not there: the worker's attempts fail at once.
uint16_t closed_port() {
    uint16_t port = 0;
    net::close_socket(net::listen_loopback(&port));
    return port;
}

class ServerEvents : public ::testing::Test {
  protected:
    const ProofVector &vector_ = cert40();

    // Loaded and initialised, not yet synchronised.
    void load(TempPluginDir &dir, FakeHost &host, uint16_t port, std::vector<RosterUser> roster) {
        dir.write_ini("server_port=" + std::to_string(port) + "\napi_key=k\nreconnect_sec=1\n");
        ASSERT_TRUE(host.start(std::move(roster), kConnection)) << host.load_error();
    }

    // The host's log lines after the start-up line, without the prefix.
    static std::vector<std::string> host_messages(const FakeHost &host) {
        std::vector<std::string> out;
        for (const std::string &line : host.log_lines()) {
            EXPECT_TRUE(line.starts_with(kPrefix)) << line;
            if (!line.starts_with(std::string(kPrefix) + "loaded "))
                out.push_back(line.substr(sizeof kPrefix - 1));
        }
        return out;
    }
};

TEST_F(ServerEvents, LocalIdentityIsLoggedWithTheHashCutToEightCharacters) {
    const struct {
        const char *what;
        std::string name, hash;
        std::vector<std::string> lines;
    } cases[] = {
        {"40-character hash",
         "VC-Me",
         vector_.key,
         {"local voice alias=VC-Me", "local Mumble hash=3f1a9c0e"}},
        {"5-character hash", "VC-Me", "abcde", {"local voice alias=VC-Me", "local Mumble hash=abcde"}},
        {"no certificate", "VC-Me", "", {"local voice alias=VC-Me", kNoHash}},
        {"empty name", "", "abcdefghi", {"local Mumble hash=abcdefgh"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        TempPluginDir dir;
        FakeHost host(dir.library_path());
        load(dir, host, closed_port(), {{kLocalUser, c.name, c.hash}});
        host.plugin().onServerSynchronized(kConnection);
        EXPECT_EQ(host_messages(host), c.lines);
        host.shutdown();
        EXPECT_EQ(host.contract_violations(), std::vector<std::string>{});
        // The main log writes the same lines to the file.
        const std::vector<std::string> file = log_messages(dir);
        for (const std::string &line : c.lines)
            EXPECT_EQ(count_containing(file, line), 1u) << line;
    }
}

// The map's log lines: every user the host lists (the local user included)
// whose name it can read, in its order; names that are not voice aliases of
// safe characters appear as <redacted>; names are cut at 127 characters.
TEST_F(ServerEvents, EveryRefreshLogsTheMapWithUnsafeNamesRedacted) {
    const std::string long_name = "VC-" + std::string(147, 'x');
    TempPluginDir dir;
    FakeHost host(dir.library_path());
    load(dir, host, closed_port(),
         {
             {kLocalUser, "VC-Me", vector_.key},
             {2, "Player1", ""},
             {3, "VC-ab c", ""},
             {4, "vc-abc_1", ""},
             {5, "VC-a.b", ""},
             {6, "VCX-", ""},
             {7, "VC-", ""},
             {8, "VC-\xC3\xA9", ""},
             {9, "", ""}, // no row for a user without a name
             {10, long_name, ""},
         });
    host.plugin().onServerSynchronized(kConnection);
    const std::vector<std::string> first = {
        "refreshed 9 Mumble voice aliases",     "alias_map user_id=1 alias=VC-Me",
        "alias_map user_id=2 alias=<redacted>", "alias_map user_id=3 alias=<redacted>",
        "alias_map user_id=4 alias=vc-abc_1",   "alias_map user_id=5 alias=<redacted>",
        "alias_map user_id=6 alias=<redacted>", "alias_map user_id=7 alias=VC-",
        "alias_map user_id=8 alias=<redacted>", "alias_map user_id=10 alias=" + long_name.substr(0, 127),
    };
    const auto map_lines = [&dir] {
        std::vector<std::string> out;
        for (const std::string &m : log_messages(dir))
            if (m.starts_with("refreshed ") || m.starts_with("alias_map ")) out.push_back(m);
        return out;
    };
    EXPECT_EQ(map_lines(), first);

    // Each user and channel event rebuilds the map whole.
    std::vector<std::string> want = first;
    host.add_user({11, "VC-Late", ""});
    host.plugin().onUserAdded(kConnection, 11);
    want.push_back("refreshed 10 Mumble voice aliases");
    want.insert(want.end(), first.begin() + 1, first.end());
    want.push_back("alias_map user_id=11 alias=VC-Late");
    EXPECT_EQ(map_lines(), want);

    host.remove_user(2);
    host.plugin().onUserRemoved(kConnection, 2);
    std::vector<std::string> after_removal{"refreshed 9 Mumble voice aliases"};
    for (size_t i = 1; i < first.size(); ++i)
        if (i != 2) after_removal.push_back(first[i]);
    after_removal.push_back("alias_map user_id=11 alias=VC-Late");
    want.insert(want.end(), after_removal.begin(), after_removal.end());
    EXPECT_EQ(map_lines(), want);

    host.plugin().onChannelEntered(kConnection, 4, 0, 1);
    want.insert(want.end(), after_removal.begin(), after_removal.end());
    EXPECT_EQ(map_lines(), want);

    // Only the file gets these lines; the host's log never shows the map.
    for (const std::string &line : host.log_lines()) {
        EXPECT_EQ(line.find("alias_map"), std::string::npos) << line;
        EXPECT_EQ(line.find("refreshed"), std::string::npos) << line;
    }
    host.shutdown();
    EXPECT_EQ(host.contract_violations(), std::vector<std::string>{});
}

// Before init, before the first synchronisation and after leaving the
// server, events ask the host nothing and change nothing.
TEST_F(ServerEvents, UserEventsOutsideASynchronisedServerDoNothing) {
    TempPluginDir dir;
    FakeHost host(dir.library_path());
    dir.write_ini("server_port=" + std::to_string(closed_port()) + "\napi_key=k\n");
    host.set_connection(kConnection);
    host.set_local_user(kLocalUser);
    host.set_roster({{kLocalUser, "VC-Me", vector_.key}, {2, "VC-Two", ""}});
    host.register_api();
    const PluginExports &p = host.plugin();
    const auto events = [&p] {
        p.onUserAdded(kConnection, 2);
        p.onUserRemoved(kConnection, 2);
        p.onChannelEntered(kConnection, 2, 0, 1);
        p.onServerDisconnected(kConnection);
    };
    events();
    ASSERT_EQ(host.init(), 0);
    events();
    for (mv::ApiSlot slot : {mv::kSlotGetAllUsers, mv::kSlotGetUserName, mv::kSlotGetLocalUserId})
        EXPECT_EQ(host.calls(slot), 0u) << "slot " << slot;
    EXPECT_EQ(count_containing(log_messages(dir), "refreshed"), 0u);

    p.onServerSynchronized(kConnection);
    EXPECT_TRUE(host.wait_for_log("local voice alias=VC-Me"));
    EXPECT_EQ(host.calls(mv::kSlotGetAllUsers), 1u);
    p.onServerDisconnected(kConnection);
    const size_t name_calls = host.calls(mv::kSlotGetUserName);
    events();
    EXPECT_EQ(host.calls(mv::kSlotGetAllUsers), 1u);
    EXPECT_EQ(host.calls(mv::kSlotGetUserName), name_calls);
    EXPECT_EQ(count_containing(log_messages(dir), "refreshed"), 1u);
    host.shutdown();
    EXPECT_EQ(host.contract_violations(), std::vector<std::string>{});
}

// Synchronising again never starts a second worker: the one running takes the
// new identity at its next attempt. First without a certificate (the worker
// waits), then with one (it connects), then once more while the link is up.
TEST_F(ServerEvents, RepeatedSynchronisationKeepsOneWorker) {
    ScriptServer server({Step::handshake({"k", "VC-Me", vector_.token, vector_.proof})});
    TempPluginDir dir;
    FakeHost host(dir.library_path());
    load(dir, host, server.port(), {{kLocalUser, "VC-Me", ""}});
    host.plugin().onServerSynchronized(kConnection);
    host.set_roster({{kLocalUser, "VC-Me", vector_.key}});
    host.plugin().onServerSynchronized(kConnection);
    ASSERT_TRUE(host.wait_for_log("connected to falloff"));
    host.plugin().onServerSynchronized(kConnection);

    // A second worker would have begun its attempt at once; give it more than
    // a whole backoff to show itself.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    const std::vector<std::string> messages = log_messages(dir);
    EXPECT_EQ(count_containing(messages, "falloff"), 2u); // the one attempt and the link
    EXPECT_EQ(count_containing(messages, "falloff_connect_attempt host=127.0.0.1 port=" +
                                             std::to_string(server.port())),
              1u);
    EXPECT_EQ(count_containing(messages, "connected to falloff"), 1u);
    EXPECT_EQ(count_containing(messages, kNoHash), 1u);
    EXPECT_EQ(count_containing(messages, "local Mumble hash=3f1a9c0e"), 2u);
    EXPECT_EQ(server.connections(), 1u);
    EXPECT_EQ(server.errors(), std::vector<std::string>{});
    host.shutdown();
    EXPECT_TRUE(server.wait_for_peer_close(0));
    EXPECT_EQ(host.contract_violations(), std::vector<std::string>{});
}

} // namespace
} // namespace mvtest
