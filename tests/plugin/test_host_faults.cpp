// A host that misbehaves, or behaves in ways plugins rarely see: API slots
// that are missing, fail, or answer "OK" with nothing; crowded servers and
// very long names; events from racing threads; audio during shutdown.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "os_probe.h"
#include "session.h"

namespace mvtest {
namespace {

using namespace mvhost;

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
    std::string outcome; // L: a link is made; F, O: Fox, Owl heard at the server's gains
    // "H" (host's log) or "F" (log file), then "+" (a line contains the rest)
    // or "-" (no line does).
    std::vector<std::string> logs;
    std::vector<size_t> never_called{};
};

void PrintTo(const SlotCase &c, std::ostream *out) {
    *out << c.name;
}

std::vector<SlotCase> slot_cases() {
    const ApiFault missing{Fault::missing, kStatusOk, std::nullopt},
        null{Fault::null_result, kStatusOk, std::nullopt},
        failing{Fault::status, kStatusTimedOut, std::nullopt};
    const std::vector<std::string> name_failed = {"H+local Mumble hash=3f1a9c0e", "H-local voice alias",
                                                  "F+refreshed 0 Mumble voice aliases"};
    const std::vector<std::string> hash_failed = {"H+local voice alias=VC-Me", "H+" + kHashEmpty};
    return {
        // Without freeMemory nothing may be asked for: it could not be released.
        {"FreeMemoryMissing",
         kSlotFreeMemory,
         missing,
         "",
         {"H-local voice alias", "F-refreshed"},
         {kSlotGetLocalUserId, kSlotGetUserName, kSlotGetAllUsers, kSlotGetUserHash}},
        {"FreeMemoryFailing",
         kSlotFreeMemory,
         failing,
         "LFO",
         {"H+local voice alias=VC-Me", "H+connected to falloff"}},
        {"GetLocalUserIdMissing",
         kSlotGetLocalUserId,
         missing,
         "",
         {"H-local voice alias", "H-failed to read", "F+refreshed 3 Mumble voice aliases"},
         {kSlotGetUserHash}},
        {"GetLocalUserIdFailing",
         kSlotGetLocalUserId,
         failing,
         "",
         {"H+failed to read local Mumble user id", "H-local voice alias"},
         {kSlotGetUserHash}},
        // "OK" without an id: the id stays 0, a user who does not exist.
        {"GetLocalUserIdNull", kSlotGetLocalUserId, null, "", {"H+" + kHashEmpty, "H-local voice alias"}},
        {"GetUserNameMissing",
         kSlotGetUserName,
         missing,
         "",
         {"H-local voice alias", "H-local Mumble hash", "F-refreshed"},
         {kSlotGetLocalUserId, kSlotGetAllUsers, kSlotGetUserHash}},
        {"GetUserNameFailing", kSlotGetUserName, failing, "", name_failed},
        {"GetUserNameNull", kSlotGetUserName, null, "", name_failed},
        // A name that cannot be read leaves no hole in the map.
        {"GetUserNameFailingForOneUser",
         kSlotGetUserName,
         {Fault::status, kStatusNoSuchUser, kFox},
         "LO",
         {"F+refreshed 2 Mumble voice aliases", "F+alias_map user_id=3 alias=VC-Owl",
          "F-alias_map user_id=2"}},
        {"GetAllUsersMissing", kSlotGetAllUsers, missing, "L", {"F-refreshed"}},
        {"GetAllUsersFailing", kSlotGetAllUsers, failing, "L", {"F-refreshed"}},
        // A null array with a non-zero count must not be read.
        {"GetAllUsersNull", kSlotGetAllUsers, null, "L", {"F-refreshed"}},
        {"GetUserHashMissing",
         kSlotGetUserHash,
         missing,
         "",
         {"H-local voice alias", "H-" + kHashEmpty, "F+refreshed 3 Mumble voice aliases"},
         {kSlotGetLocalUserId, kSlotGetUserHash}},
        {"GetUserHashFailing", kSlotGetUserHash, failing, "", hash_failed},
        {"GetUserHashNull", kSlotGetUserHash, null, "", hash_failed},
        // Without the host's log, the lines still reach the file.
        {"LogMissing",
         kSlotLog,
         missing,
         "LFO",
         {"H-", "F+loaded version=0.5.4", "F+local voice alias=VC-Me", "F+connected to falloff"}},
        {"LogFailing", kSlotLog, failing, "LFO", {"H-", "F+loaded version=0.5.4", "F+connected to falloff"}},
    };
}

class SlotFaults : public ::testing::TestWithParam<SlotCase> {};

TEST_P(SlotFaults, DegradeWithoutCrashOrLeak) {
    const SlotCase &c = GetParam();
    ScriptServer server(
        {Step::handshake(handshake()), Step::send_line("UPDATE2 VC-Fox 0.5 0, VC-Owl 0.25 0")});
    Plugin p(settings(server.port()));
    p.host.set_fault(c.slot, c.fault);
    ASSERT_TRUE(p.host.start());
    p.host.join(kConnection, kRoster);
    p.host.user_joins({4, "VC-Late", ""});
    const bool links = c.outcome.find('L') != std::string::npos;
    ASSERT_TRUE(!links || p.wait_log("received UPDATE2 with 2 speakers"));
    const bool fox = c.outcome.find('F') != std::string::npos, owl = c.outcome.find('O') != std::string::npos;
    EXPECT_EQ(p.hear(kFox), fox ? kFoxGain : kSilent);
    EXPECT_EQ(p.hear(kOwl), owl ? expected(0.25f, 0) : kSilent);
    p.host.leave();
    EXPECT_EQ(p.hear(kOwl), kSilent);
    p.finish();

    for (const std::string &want : c.logs) {
        const size_t n = count_in(want[0] == 'H' ? p.host.log_lines() : p.log(), want.substr(2));
        EXPECT_EQ(n > 0, want[1] == '+') << want;
    }
    for (const size_t slot : c.never_called)
        EXPECT_EQ(p.host.calls(slot), 0u) << "slot " << slot;
    EXPECT_TRUE(links || server.connections() == 0) << "connected without an identity";
}

INSTANTIATE_TEST_SUITE_P(Slots, SlotFaults, ::testing::ValuesIn(slot_cases()),
                         [](const ::testing::TestParamInfo<SlotCase> &info) { return info.param.name; });

TEST(HostFaults, SixHundredUsersFillTheMapToItsCapacity) {
    std::vector<RosterUser> users;
    for (UserId id = 100; id < 700; ++id)
        users.push_back({id, "VC-U" + std::to_string(id), ""});
    // The local user and users 100 to 610 fill the map; the 513th user is not in it.
    ScriptServer server(
        {Step::handshake(handshake()), Step::send_line("UPDATE2 VC-U610 0.5 0, VC-U611 0.5 0")});
    Plugin p(settings(server.port()));
    ASSERT_TRUE(p.host.start(roster(users), kConnection));
    const size_t names_before = p.host.calls(kSlotGetUserName);
    p.host.plugin().onUserAdded(kConnection, 699);
    EXPECT_EQ(p.host.calls(kSlotGetUserName) - names_before, 512u) << "names asked beyond the capacity";
    ASSERT_TRUE(p.wait_log("received UPDATE2 with 2 speakers"));
    EXPECT_EQ(p.hear(610), kFoxGain);
    EXPECT_EQ(p.hear(611), kSilent) << "the 513th user has a row";
    p.finish();
    EXPECT_EQ(p.count("refreshed 512 Mumble voice aliases"), 2u);
    EXPECT_EQ(p.count("alias_map user_id=610 alias=VC-U610"), 2u);
    EXPECT_EQ(p.count("alias_map user_id=611 "), 0u);
}

TEST(HostFaults, ThousandCharacterNamesAreCutNeverOverrun) {
    const std::string me = "VC-M" + std::string(996, 'e'), fox = "VC-F" + std::string(996, 'o');
    Handshake cut = handshake();
    cut.alias = me.substr(0, 127); // HELLO2 carries the first 127 characters
    ScriptServer server({Step::handshake(cut), Step::send_line("UPDATE2 " + fox.substr(0, 127) + " 0.5 0")});
    Plugin p(settings(server.port()));
    ASSERT_TRUE(p.host.start({{kMe, me, cert40().key}, {kFox, fox, ""}}, kConnection));
    EXPECT_EQ(p.wait_to_hear(kFox, kFoxGain), kFoxGain);
    p.finish();
    EXPECT_EQ(server.errors(), kNone);
    // The host's log gets the name as given, cut with the whole message at 1023 characters.
    EXPECT_EQ(p.host_count("[marlpike_voice] " + ("local voice alias=" + me).substr(0, 1023)), 1u);
    EXPECT_EQ(p.count("alias_map user_id=2 alias=" + fox.substr(0, 127)), 1u);
}

// The host's network thread reports a disconnect while its main thread is
// synchronising and delivering user events. Meant for ThreadSanitizer too.
TEST(HostFaults, DisconnectRacesSynchronisationAndUserEvents) {
    // Connections beyond the script, or cut in the middle, end its play;
    // later ones wait in the queue until a stop ends them.
    auto server = std::make_unique<ScriptServer>(relinks(20));
    Plugin p(settings(server->port()));
    const long threads = baseline_counts().threads; // the host's own included
    ASSERT_TRUE(p.host.start());
    p.host.set_roster(kRoster);
    p.host.set_local_user(kMe);
    p.host.set_connection(kConnection);
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
    p.host.set_roster(kRoster);
    p.host.set_local_user(kMe);
    p.host.set_connection(kConnection);
    std::atomic<bool> stop{false};
    std::atomic<long> loud{0}, silent{0}, untouched{0}, wrong{0};
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
            const auto kind = [&]() -> std::atomic<long> & {
                if (!whole) return wrong;
                if (!done) return first == Heard{1.0f, 1.0f} ? untouched : wrong;
                return first == kFoxGain ? loud : first == kSilent ? silent : wrong;
            };
            kind().fetch_add(1);
            // Far more often than a host's 50 calls a second, but leaving the
            // machine to the plugin's other threads.
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    for (int i = 0; i < kCycles; ++i) {
        ASSERT_TRUE(p.host.start()); // mid-session: it joins by itself
        ASSERT_TRUE(p.wait_log("received UPDATE2", i + 1)) << "cycle " << i;
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

} // namespace
} // namespace mvtest
