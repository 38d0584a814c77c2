// The host's events as the plugin answers them (the local identity it reads
// and logs, the voice alias map it rebuilds, one worker however often the host
// synchronises, nothing outside a synchronised server), and a host that
// misbehaves or behaves in ways plugins rarely see: API slots that are
// missing, fail, or answer "OK" with nothing; crowded servers and very long
// names; events from racing threads; audio during shutdown.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <sstream>

#include "session.h"

namespace mvtest {
namespace {

constexpr ConnectionId kConnection = 7;
constexpr UserId kFox = 2, kOwl = 3;
const std::string kHashEmpty = "Mumble certificate hash is empty; v05 voice authentication unavailable";
const Heard kFoxGain = expected(0.5f, 0.0f);
const std::vector<RosterUser> kRoster = roster({{kFox, "VC-Fox", ""}, {kOwl, "VC-Owl", ""}});

// Links, sends one update and waits for the plugin to leave, n times.
std::vector<Step> relinks(int n) {
    std::vector<Step> script;
    for (int i = 0; i < n; ++i)
        script.insert(script.end(), {Step::handshake(handshake()), Step::send_line("UPDATE2 VC-Fox 0.5 0"),
                                     Step::expect_close(), Step::accept()});
    return script;
}

struct SlotCase {
    const char *name;
    size_t slot;
    ApiFault fault;
    const char *outcome; // L: a link is made; F, O: Fox, Owl heard at the server's gains
    // "|"-separated: "H" (host's log) or "F" (log file), then "+" (a line
    // contains the rest) or "-" (no line does); "N" and a slot never called.
    std::string checks;
};

void PrintTo(const SlotCase &c, std::ostream *out) {
    *out << c.name;
}

std::vector<SlotCase> slot_cases() {
    const ApiFault missing{Fault::missing, kStatusOk, std::nullopt},
        null{Fault::null_result, kStatusOk, std::nullopt},
        failing{Fault::status, kStatusTimedOut, std::nullopt}, no_fox{Fault::status, kStatusNoSuchUser, kFox},
        failing_with{Fault::status_with_result, kStatusTimedOut, std::nullopt};
    const std::string name_failed =
        "H+local Mumble hash=3f1a9c0e|H-local voice alias|F+refreshed 0 Mumble voice aliases";
    const std::string hash_failed = "H+local voice alias=VC-Me|H+" + kHashEmpty;
    return {
        // Without freeMemory nothing may be asked for: it could not be released.
        {"FreeMemoryMissing", kSlotFreeMemory, missing, "", "H-local voice alias|F-refreshed|N3|N4|N6|N14"},
        {"FreeMemoryFailing", kSlotFreeMemory, failing, "LFO",
         "H+local voice alias=VC-Me|H+connected to falloff"},
        {"GetLocalUserIdMissing", kSlotGetLocalUserId, missing, "",
         "H-local voice alias|H-failed to read|F+refreshed 3 Mumble voice aliases|N14"},
        {"GetLocalUserIdFailing", kSlotGetLocalUserId, failing, "",
         "H+failed to read local Mumble user id|H-local voice alias|N14"},
        // "OK" without an id: the id stays 0, a user who does not exist.
        {"GetLocalUserIdNull", kSlotGetLocalUserId, null, "", "H+" + kHashEmpty + "|H-local voice alias"},
        {"GetUserNameMissing", kSlotGetUserName, missing, "",
         "H-local voice alias|H-local Mumble hash|F-refreshed|N3|N6|N14"},
        {"GetUserNameFailing", kSlotGetUserName, failing, "", name_failed},
        {"GetUserNameNull", kSlotGetUserName, null, "", name_failed},
        // A failure that hands something back all the same: released, not used.
        {"GetUserNameFailingWithAName", kSlotGetUserName, failing_with, "", name_failed},
        // A name that cannot be read leaves no hole in the map.
        {"GetUserNameFailingForOneUser", kSlotGetUserName, no_fox, "LO",
         "F+refreshed 2 Mumble voice aliases|F+alias_map user_id=3 alias=VC-Owl|F-alias_map user_id=2"},
        {"GetAllUsersMissing", kSlotGetAllUsers, missing, "L", "F-refreshed"},
        {"GetAllUsersFailing", kSlotGetAllUsers, failing, "L", "F-refreshed"},
        // A null array with a non-zero count must not be read.
        {"GetAllUsersNull", kSlotGetAllUsers, null, "L", "F-refreshed"},
        {"GetAllUsersFailingWithAnArray", kSlotGetAllUsers, failing_with, "L", "F-refreshed"},
        {"GetUserHashMissing", kSlotGetUserHash, missing, "",
         "H-local voice alias|H-" + kHashEmpty + "|F+refreshed 3 Mumble voice aliases|N3|N14"},
        {"GetUserHashFailing", kSlotGetUserHash, failing, "", hash_failed},
        {"GetUserHashNull", kSlotGetUserHash, null, "", hash_failed},
        // Without the host's log, the lines still reach the file.
        {"LogMissing", kSlotLog, missing, "LFO",
         "H-|F+loaded version=0.5.4|F+local voice alias=VC-Me|F+connected to falloff"},
        {"LogFailing", kSlotLog, failing, "LFO", "H-|F+loaded version=0.5.4|F+connected to falloff"},
    };
}

class SlotFaults : public ::testing::TestWithParam<SlotCase> {};

TEST_P(SlotFaults, DegradeWithoutCrashOrLeak) {
    const SlotCase &c = GetParam();
    const auto has = [&c](char what) { return std::string_view(c.outcome).find(what) != std::string::npos; };
    ScriptServer server(
        {Step::handshake(handshake()), Step::send_line("UPDATE2 VC-Fox 0.5 0, VC-Owl 0.25 0")});
    Plugin p(settings(server.port()));
    p.host.set_fault(c.slot, c.fault);
    ASSERT_TRUE(p.host.start());
    p.host.join(kConnection, kRoster);
    p.host.user_joins({4, "VC-Late", ""});
    ASSERT_TRUE(!has('L') || p.wait_log("received UPDATE2 with 2 speakers"));
    EXPECT_EQ(p.hear(kFox), has('F') ? kFoxGain : kSilent);
    EXPECT_EQ(p.hear(kOwl), has('O') ? expected(0.25f, 0) : kSilent);
    p.host.leave();
    EXPECT_EQ(p.hear(kOwl), kSilent);
    p.finish();
    EXPECT_TRUE(has('L') || server.connections() == 0) << "connected without an identity";

    std::istringstream checks(c.checks);
    for (std::string want; std::getline(checks, want, '|');) {
        if (want[0] == 'N') {
            EXPECT_EQ(p.host.calls(std::stoul(want.substr(1))), 0u) << "slot " << want.substr(1);
        } else {
            const size_t n = count_in(want[0] == 'H' ? p.host.log_lines() : p.log(), want.substr(2));
            EXPECT_EQ(n > 0, want[1] == '+') << want;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Slots, SlotFaults, ::testing::ValuesIn(slot_cases()),
                         [](const ::testing::TestParamInfo<SlotCase> &info) { return info.param.name; });

// 600 users fill the map to its capacity (512: the local user, Fox and users
// 100 to 609); names of 1000 characters are cut, never overrun.
TEST(HostFaults, SixHundredUsersAndThousandCharacterNames) {
    const std::string me = "VC-M" + std::string(996, 'e'), fox = "VC-F" + std::string(996, 'o');
    std::vector<RosterUser> users{{kMe, me, cert40().key}, {kFox, fox, ""}};
    for (UserId id = 100; id < 700; ++id)
        users.push_back({id, "VC-U" + std::to_string(id), ""});
    Handshake cut = handshake();
    cut.alias = me.substr(0, 127); // HELLO2 carries the first 127 characters
    ScriptServer server({Step::handshake(cut), Step::send_line("UPDATE2 " + fox.substr(0, 127) +
                                                               " 0.5 0, VC-U609 0.5 0, VC-U610 1 0")});
    Plugin p(settings(server.port()));
    ASSERT_TRUE(p.host.start(users, kConnection));
    const size_t names_before = p.host.calls(kSlotGetUserName);
    p.host.plugin().onUserAdded(kConnection, 699);
    EXPECT_EQ(p.host.calls(kSlotGetUserName) - names_before, 512u) << "names asked beyond the capacity";
    ASSERT_TRUE(p.wait_log("received UPDATE2 with 3 speakers"));
    EXPECT_EQ(p.hear(kFox), kFoxGain);
    EXPECT_EQ(p.hear(609), kFoxGain);
    EXPECT_EQ(p.hear(610), kSilent) << "the 513th user has a row";
    p.finish(&server);
    EXPECT_EQ(p.count("refreshed 512 Mumble voice aliases"), 2u);
    EXPECT_EQ(p.count("alias_map user_id=2 alias=" + fox.substr(0, 127)), 2u);
    EXPECT_EQ(p.count("alias_map user_id=609 alias=VC-U609"), 2u);
    EXPECT_EQ(p.count("alias_map user_id=610 "), 0u);
    // The host's log gets the name as given, cut with the whole message at 1023 characters.
    EXPECT_EQ(p.host_count("[marlpike_voice] " + ("local voice alias=" + me).substr(0, 1023)), 1u);
}

// The host's network thread reports a disconnect while its main thread is
// synchronising and delivering user events. Meant for ThreadSanitizer too.
TEST(HostFaults, DisconnectRacesSynchronisationAndUserEvents) {
    // Connections beyond the script, or cut in the middle, end its play;
    // later ones wait in the queue until a stop ends them.
    auto server = std::make_unique<ScriptServer>(relinks(20));
    Plugin p(settings(server->port()));
    const long threads = steady_counts().threads; // the host's own included
    ASSERT_TRUE(p.host.start(kRoster, kConnection));
    const PluginExports &x = p.host.plugin();
    std::thread main_events([&] {
        for (int i = 0; i < 300; ++i)
            p.host.on_main([&] {
                x.onServerSynchronized(kConnection);
                x.onUserAdded(kConnection, kOwl);
                x.onChannelEntered(kConnection, kFox, 0, 1);
                x.onUserRemoved(kConnection, kOwl);
            });
    });
    for (int i = 0; i < 300; ++i) {
        p.host.on_network([&] { x.onServerDisconnected(kConnection); });
        if (i % 16 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    main_events.join();
    p.host.leave();
    EXPECT_EQ(p.hear(kFox), kSilent) << "heard after the last disconnect";
    p.finish();
    server.reset();
    EXPECT_TRUE(eventually([&] { return resource_counts().threads <= threads; }))
        << "a worker outlived shutdown";
}

// Nothing stops the host's audio thread around shutdown: a call then must
// either be processed whole or leave the buffer alone.
TEST(HostFaults, AudioCallbacksRaceShutdown) {
    constexpr int kCycles = 40;
    ScriptServer server(relinks(kCycles));
    Plugin p(settings(server.port()));
    std::atomic<bool> stop{false};
    std::atomic<long> loud{0}, untouched{0}, wrong{0};
    std::thread audio([&] {
        const AudioThreadMark mark;
        std::vector<float> buffer(960 * 2);
        while (!stop.load()) {
            std::fill(buffer.begin(), buffer.end(), 1.0f);
            const bool done = p.host.plugin().onAudioSourceFetched(buffer.data(), 960, 2, 48000, true, kFox);
            const Heard first{buffer[0], buffer[1]};
            bool whole = true; // every frame treated alike
            for (size_t i = 0; i < buffer.size(); i += 2)
                whole = whole && buffer[i] == first.left && buffer[i + 1] == first.right;
            wrong += !whole || !(done ? first == kFoxGain || first == kSilent : first == Heard{1.0f, 1.0f});
            loud += done && first == kFoxGain;
            untouched += !done;
            // Far more often than a host's 50 calls a second, but leaving the
            // machine to the plugin's other threads.
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    for (int i = 0; i < kCycles; ++i) {
        // Mid-session, the plugin joins by itself.
        if (!p.host.start(kRoster, kConnection) || !p.wait_log("received UPDATE2", i + 1)) {
            ADD_FAILURE() << "no link in cycle " << i;
            break;
        }
        const long heard = loud.load();
        EXPECT_TRUE(eventually([&] { return loud.load() > heard; })) << "cycle " << i;
        p.host.shutdown();
    }
    stop.store(true);
    audio.join();
    EXPECT_EQ(wrong.load(), 0) << "calls that changed the buffer halfway or wrongly";
    EXPECT_GT(loud.load(), 0);
    EXPECT_GT(untouched.load(), 0);
    p.finish();
}

// The identity lines, as many as there are, in both logs; the hash is cut to
// eight characters, and a shorter one is not padded (a 40-character hash and
// none at all are in the slot table).
TEST(ServerEvents, LocalIdentityIsLoggedWithTheHashCutToEightCharacters) {
    const struct {
        std::string name, hash;
        std::vector<std::string> lines;
    } cases[] = {
        {"VC-Me", "abcde", {"local voice alias=VC-Me", "local Mumble hash=abcde"}},
        {"", "abcdefghi", {"local Mumble hash=abcdefgh"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name + "/" + c.hash);
        const mvnet::RefusedPort refused;
        Plugin p(settings(refused.port()));
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
    std::vector<RosterUser> users;
    for (const std::string name :
         {"Player1", "VC-ab c", "vc-abc_1", "VC-a.b", "VCX-", "VC-", "VC-\xC3\xA9", ""})
        users.push_back(
            {static_cast<UserId>(users.size() + 2), name, ""}); // no row for a user without a name
    users.push_back({10, long_name, ""});
    const mvnet::RefusedPort refused;
    Plugin p(settings(refused.port()));
    ASSERT_TRUE(p.host.start(roster(users), kConnection));
    p.host.user_joins({11, "VC-Late", ""});
    p.host.user_leaves(2);
    std::vector<std::string> map;
    for (const std::string &m : p.log())
        if (m.starts_with("refreshed "))
            map = {m};
        else if (m.starts_with("alias_map "))
            map.push_back(m);
    EXPECT_EQ(map, (std::vector<std::string>{
                       "refreshed 9 Mumble voice aliases", "alias_map user_id=1 alias=VC-Me",
                       "alias_map user_id=3 alias=<redacted>", "alias_map user_id=4 alias=vc-abc_1",
                       "alias_map user_id=5 alias=<redacted>", "alias_map user_id=6 alias=<redacted>",
                       "alias_map user_id=7 alias=VC-", "alias_map user_id=8 alias=<redacted>",
                       "alias_map user_id=10 alias=" + long_name.substr(0, 127),
                       "alias_map user_id=11 alias=VC-Late"}));
    // Synchronised, user added, channel entered, user removed.
    EXPECT_EQ(p.count("refreshed "), 4u);
    EXPECT_EQ(p.count("alias_map user_id=2 alias=<redacted>"), 3u);
    EXPECT_EQ(p.host_count("alias_map") + p.host_count("refreshed"), 0u);
    p.finish();
}

// Before init, before the first synchronisation (the host's own join sends
// user events then) and after leaving the server, events ask the host nothing
// and change nothing.
TEST(ServerEvents, UserEventsOutsideASynchronisedServerDoNothing) {
    const mvnet::RefusedPort refused;
    Plugin p(settings(refused.port()));
    p.host.set_connection(kConnection, ConnectionState::connected);
    const PluginExports &x = p.host.plugin();
    const auto events = [&] {
        x.onUserAdded(kConnection, kFox);
        x.onUserRemoved(kConnection, kFox);
        x.onChannelEntered(kConnection, kFox, 0, 1);
        x.onServerDisconnected(kConnection);
        return p.host.calls(kSlotGetAllUsers) + p.host.calls(kSlotGetLocalUserId);
    };
    EXPECT_EQ(events(), 0u);
    ASSERT_TRUE(p.host.start());
    EXPECT_EQ(events(), 0u);
    p.host.join(kConnection, kRoster);
    p.host.leave();
    EXPECT_EQ(events(), 2u); // those of the one synchronisation
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
    EXPECT_EQ(p.count(kHashEmpty), 1u);
    EXPECT_EQ(p.count("local Mumble hash=3f1a9c0e"), 2u);
    p.finish(&server);
    EXPECT_TRUE(server.wait_for_peer_close(0));
    EXPECT_EQ(server.connections(), 1u);
}

} // namespace
} // namespace mvtest
