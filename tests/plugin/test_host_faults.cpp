// A host that misbehaves, or behaves in ways plugins rarely see: API slots
// that are missing, fail, or answer "OK" with nothing; crowded servers and
// very long names; events from racing threads; audio during shutdown.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio_probe.h"
#include "fake_host.h"
#include "log_file.h"
#include "os_probe.h"
#include "plugin_library.h"
#include "proof_vectors.h"
#include "script_server.h"

namespace mvtest {
namespace {

constexpr mv::ConnectionId kConnection = 7;
constexpr mv::UserId kMe = 1, kFox = 2, kOwl = 3;
const std::string kApiKey = "hf-key-Zp4Lq8Ns2T";
const std::string kHashEmpty = "Mumble certificate hash is empty; v05 voice authentication unavailable";
const Heard kFoxGain = expected(0.5f, 0.0f);
const Heard kOwlGain = expected(0.25f, 0.0f);

Handshake handshake_as(std::string alias) {
    return {kApiKey, std::move(alias), cert40().token, cert40().proof};
}

std::string settings(uint16_t port) {
    return "server_port=" + std::to_string(port) + "\napi_key=" + kApiKey + "\nreconnect_sec=1\n";
}

std::vector<RosterUser> roster() {
    return {{kMe, "VC-Me", cert40().key}, {kFox, "VC-Fox", ""}, {kOwl, "VC-Owl", ""}};
}

// A script that links, sends one update and waits for the plugin to leave, n times.
std::vector<Step> relinks(int n) {
    std::vector<Step> script;
    for (int i = 0; i < n; ++i) {
        script.push_back(Step::handshake(handshake_as("VC-Me")));
        script.push_back(Step::send_line("UPDATE2 VC-Fox 0.5 0"));
        script.push_back(Step::expect_close());
        script.push_back(Step::accept());
    }
    return script;
}

// Polls until the thread count is back at want; returns the last count.
long settle_threads(long want) {
    const auto until = std::chrono::steady_clock::now() + kDefaultDeadline;
    for (;;) {
        const long now = resource_counts().threads;
        if (now == want || std::chrono::steady_clock::now() >= until) return now;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// ---- one API slot misbehaving ------------------------------------------------

struct SlotCase {
    const char *name;
    mv::ApiSlot slot;
    ApiFault fault;
    bool links;    // identity complete: the worker gets a link
    bool fox, owl; // heard at the server's gains once its update is applied
    // "H" (host's log) or "F" (log file), then "+" (a line contains the rest)
    // or "-" (no line does).
    std::vector<std::string> logs;
    std::vector<mv::ApiSlot> never_called{};
};

void PrintTo(const SlotCase &c, std::ostream *out) {
    *out << c.name;
}

std::vector<SlotCase> slot_cases() {
    using namespace mv;
    const ApiFault missing{Fault::missing, kStatusOk, std::nullopt};
    const ApiFault failing{Fault::status, kStatusTimedOut, std::nullopt};
    const ApiFault null_ok{Fault::null_result, kStatusOk, std::nullopt};
    const std::vector<std::string> name_failed = {"H+local Mumble hash=3f1a9c0e", "H-local voice alias",
                                                  "F+refreshed 0 Mumble voice aliases"};
    return {
        // Without freeMemory nothing may be asked for: it could not be released.
        {"FreeMemoryMissing",
         kSlotFreeMemory,
         missing,
         false,
         false,
         false,
         {"H-local voice alias", "F-refreshed"},
         {kSlotGetLocalUserId, kSlotGetUserName, kSlotGetAllUsers, kSlotGetUserHash}},
        {"FreeMemoryFailing",
         kSlotFreeMemory,
         failing,
         true,
         true,
         true,
         {"H+local voice alias=VC-Me", "H+connected to falloff"}},
        {"GetLocalUserIdMissing",
         kSlotGetLocalUserId,
         missing,
         false,
         false,
         false,
         {"H-local voice alias", "H-failed to read", "F+refreshed 3 Mumble voice aliases"},
         {kSlotGetUserHash}},
        {"GetLocalUserIdFailing",
         kSlotGetLocalUserId,
         failing,
         false,
         false,
         false,
         {"H+failed to read local Mumble user id", "H-local voice alias"},
         {kSlotGetUserHash}},
        // "OK" without an id: the id stays 0, a user who does not exist.
        {"GetLocalUserIdNull",
         kSlotGetLocalUserId,
         null_ok,
         false,
         false,
         false,
         {"H+" + kHashEmpty, "H-local voice alias"}},
        {"GetUserNameMissing",
         kSlotGetUserName,
         missing,
         false,
         false,
         false,
         {"H-local voice alias", "H-local Mumble hash", "F-refreshed"},
         {kSlotGetLocalUserId, kSlotGetAllUsers, kSlotGetUserHash}},
        {"GetUserNameFailing", kSlotGetUserName, failing, false, false, false, name_failed},
        {"GetUserNameNull", kSlotGetUserName, null_ok, false, false, false, name_failed},
        // A name that cannot be read leaves no hole in the map.
        {"GetUserNameFailingForOneUser",
         kSlotGetUserName,
         {Fault::status, kStatusNoSuchUser, kFox},
         true,
         false,
         true,
         {"F+refreshed 2 Mumble voice aliases", "F+alias_map user_id=3 alias=VC-Owl",
          "F-alias_map user_id=2"}},
        {"GetAllUsersMissing", kSlotGetAllUsers, missing, true, false, false, {"F-refreshed"}},
        {"GetAllUsersFailing", kSlotGetAllUsers, failing, true, false, false, {"F-refreshed"}},
        // A null array with a non-zero count must not be read.
        {"GetAllUsersNull", kSlotGetAllUsers, null_ok, true, false, false, {"F-refreshed"}},
        {"GetUserHashMissing",
         kSlotGetUserHash,
         missing,
         false,
         false,
         false,
         {"H-local voice alias", "H-" + kHashEmpty, "F+refreshed 3 Mumble voice aliases"},
         {kSlotGetLocalUserId, kSlotGetUserHash}},
        {"GetUserHashFailing",
         kSlotGetUserHash,
         failing,
         false,
         false,
         false,
         {"H+local voice alias=VC-Me", "H+" + kHashEmpty}},
        {"GetUserHashNull",
         kSlotGetUserHash,
         null_ok,
         false,
         false,
         false,
         {"H+local voice alias=VC-Me", "H+" + kHashEmpty}},
        // Without the host's log, the lines still reach the file.
        {"LogMissing",
         kSlotLog,
         missing,
         true,
         true,
         true,
         {"H-", "F+loaded version=0.5.4", "F+local voice alias=VC-Me", "F+connected to falloff"}},
        {"LogFailing",
         kSlotLog,
         failing,
         true,
         true,
         true,
         {"H-", "F+loaded version=0.5.4", "F+connected to falloff"}},
    };
}

class SlotFaults : public ::testing::TestWithParam<SlotCase> {};

TEST_P(SlotFaults, DegradeWithoutCrashOrLeak) {
    const SlotCase &c = GetParam();
    ScriptServer server(
        {Step::handshake(handshake_as("VC-Me")), Step::send_line("UPDATE2 VC-Fox 0.5 0, VC-Owl 0.25 0")});
    TempPluginDir dir;
    dir.write_ini(settings(server.port()));
    FakeHost host(dir.library_path());
    host.set_fault(c.slot, c.fault);
    ASSERT_TRUE(host.start(roster(), kConnection)) << host.load_error();

    host.plugin().onServerSynchronized(kConnection);
    host.plugin().onUserAdded(kConnection, kOwl);
    host.plugin().onChannelEntered(kConnection, kFox, 1, 2);
    if (c.links) { // the update is applied once its log line is written
        ASSERT_TRUE(wait_for_log_file(dir, "received UPDATE2 with 2 speakers"));
    }
    EXPECT_TRUE(heard_as(hear(host, kFox), c.fox ? kFoxGain.left : 0, c.fox ? kFoxGain.right : 0));
    EXPECT_TRUE(heard_as(hear(host, kOwl), c.owl ? kOwlGain.left : 0, c.owl ? kOwlGain.right : 0));
    host.plugin().onServerDisconnected(kConnection);
    EXPECT_TRUE(heard_as(hear(host, kOwl), 0, 0));
    host.shutdown();

    const std::vector<std::string> host_log = host.log_lines(), file_log = log_messages(dir);
    for (const std::string &want : c.logs) {
        const size_t n = count_containing(want[0] == 'H' ? host_log : file_log, want.substr(2));
        EXPECT_EQ(n > 0, want[1] == '+') << want;
    }
    for (mv::ApiSlot slot : c.never_called)
        EXPECT_EQ(host.calls(slot), 0u) << "slot " << slot;
    if (!c.links) {
        EXPECT_EQ(server.connections(), 0u) << "connected without an identity";
    }
    EXPECT_EQ(host.contract_violations(), std::vector<std::string>{});
    EXPECT_EQ(dir.read_log().value_or("").find(kApiKey), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Slots, SlotFaults, ::testing::ValuesIn(slot_cases()),
                         [](const ::testing::TestParamInfo<SlotCase> &info) { return info.param.name; });

// ---- crowds and long names ---------------------------------------------------

TEST(HostFaults, SixHundredUsersFillTheMapToItsCapacity) {
    std::vector<RosterUser> users = {{kMe, "VC-Me", cert40().key}};
    for (mv::UserId id = 100; id < 700; ++id)
        users.push_back({id, "VC-U" + std::to_string(id), ""});
    // Users 1 to 511 after the local one are in the map; the 513th user is not.
    ScriptServer server(
        {Step::handshake(handshake_as("VC-Me")), Step::send_line("UPDATE2 VC-U610 0.5 0, VC-U611 0.5 0")});
    TempPluginDir dir;
    dir.write_ini(settings(server.port()));
    FakeHost host(dir.library_path());
    ASSERT_TRUE(host.start(users, kConnection)) << host.load_error();
    host.plugin().onServerSynchronized(kConnection);

    const size_t names_before = host.calls(mv::kSlotGetUserName);
    host.plugin().onUserAdded(kConnection, 699);
    EXPECT_EQ(host.calls(mv::kSlotGetUserName) - names_before, 512u) << "names asked beyond the capacity";
    ASSERT_TRUE(wait_for_log_file(dir, "received UPDATE2 with 2 speakers"));
    EXPECT_TRUE(heard_as(hear(host, 610), kFoxGain.left, kFoxGain.right));
    EXPECT_TRUE(heard_as(hear(host, 611), 0, 0)) << "the 513th user has a row";

    host.shutdown();
    const std::vector<std::string> log = log_messages(dir);
    EXPECT_EQ(count_containing(log, "refreshed 512 Mumble voice aliases"), 2u);
    EXPECT_EQ(count_containing(log, "alias_map user_id=610 alias=VC-U610"), 2u);
    EXPECT_EQ(count_containing(log, "alias_map user_id=611 "), 0u);
    EXPECT_EQ(host.contract_violations(), std::vector<std::string>{});
}

TEST(HostFaults, ThousandCharacterNamesAreCutNeverOverrun) {
    const std::string me = "VC-M" + std::string(996, 'e');
    const std::string fox = "VC-F" + std::string(996, 'o');
    ScriptServer server({Step::handshake(handshake_as(me.substr(0, 127))),
                         Step::send_line("UPDATE2 " + fox.substr(0, 127) + " 0.5 0")});
    TempPluginDir dir;
    dir.write_ini(settings(server.port()));
    FakeHost host(dir.library_path());
    ASSERT_TRUE(host.start({{kMe, me, cert40().key}, {kFox, fox, ""}}, kConnection)) << host.load_error();
    host.plugin().onServerSynchronized(kConnection);

    const Heard h = wait_to_hear(host, kFox, kFoxGain);
    EXPECT_TRUE(heard_as(h, kFoxGain.left, kFoxGain.right)) << h.left;
    host.shutdown();
    EXPECT_EQ(server.errors(), std::vector<std::string>{}); // HELLO2 carried the first 127 characters
    // The host's log gets the name as given, cut with the whole message at 1023 characters.
    const std::string line = "[marlpike_voice] " + ("local voice alias=" + me).substr(0, 1023);
    EXPECT_EQ(count_containing(host.log_lines(), line), 1u);
    EXPECT_EQ(count_containing(log_messages(dir), "alias_map user_id=2 alias=" + fox.substr(0, 127)), 1u);
    EXPECT_EQ(host.contract_violations(), std::vector<std::string>{});
}

// ---- racing threads ----------------------------------------------------------

// The host's network thread reports a disconnect while its main thread is
// synchronising and delivering user events. Meant for ThreadSanitizer too.
TEST(HostFaults, DisconnectRacesSynchronisationAndUserEvents) {
    const long threads = baseline_counts().threads;
    // Connections beyond the script, or cut in the middle, end its play;
    // later ones wait in the queue until a stop ends them.
    auto server = std::make_unique<ScriptServer>(relinks(20));
    TempPluginDir dir;
    dir.write_ini(settings(server->port()));
    FakeHost host(dir.library_path());
    ASSERT_TRUE(host.start(roster(), kConnection)) << host.load_error();
    const PluginExports &p = host.plugin();

    std::atomic<bool> go{false};
    const auto when_go = [&go](auto body) {
        return std::thread([&go, body] {
            while (!go.load())
                std::this_thread::yield();
            for (int i = 0; i < 300; ++i)
                body(i);
        });
    };
    std::thread main_thread = when_go([&](int) {
        p.onServerSynchronized(kConnection);
        p.onUserAdded(kConnection, kOwl);
        p.onChannelEntered(kConnection, kFox, 0, 1);
        p.onUserRemoved(kConnection, kOwl);
    });
    std::thread network_thread = when_go([&](int i) {
        p.onServerDisconnected(kConnection);
        if (i % 16 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    go.store(true);
    main_thread.join();
    network_thread.join();

    p.onServerDisconnected(kConnection);
    EXPECT_TRUE(heard_as(hear(host, kFox), 0, 0)) << "heard after the last disconnect";
    host.shutdown();
    server.reset();
    EXPECT_EQ(settle_threads(threads), threads) << "a worker outlived shutdown";
    EXPECT_EQ(host.contract_violations(), std::vector<std::string>{});
}

// Nothing stops the host's audio thread around shutdown: a call then must
// either be processed whole or leave the buffer alone.
TEST(HostFaults, AudioCallbacksRaceShutdown) {
    constexpr int kCycles = 40;
    ScriptServer server(relinks(kCycles));
    TempPluginDir dir;
    dir.write_ini(settings(server.port()));
    FakeHost host(dir.library_path());
    ASSERT_TRUE(host.loaded()) << host.load_error();
    host.set_connection(kConnection);
    host.set_local_user(kMe);
    host.set_roster(roster());
    host.register_api();

    std::atomic<bool> stop{false};
    std::atomic<long> processed{0}, untouched{0}, wrong{0};
    std::thread audio([&] {
        std::vector<float> buffer(960 * 2);
        while (!stop.load()) {
            std::fill(buffer.begin(), buffer.end(), 1.0f);
            const bool done = host.plugin().onAudioSourceFetched(buffer.data(), 960, 2, 48000, true, kFox);
            const Heard first{buffer[0], buffer[1]};
            bool whole = true; // every frame treated alike
            for (size_t i = 0; i < buffer.size(); i += 2)
                whole = whole && buffer[i] == first.left && buffer[i + 1] == first.right;
            const bool ok = done ? heard_as(first, 0, 0) || heard_as(first, kFoxGain.left, kFoxGain.right)
                                 : heard_as(first, 1.0f, 1.0f);
            (!whole || !ok ? wrong : done ? processed : untouched).fetch_add(1);
        }
    });
    for (int i = 0; i < kCycles; ++i) {
        ASSERT_EQ(host.init(), 0);
        host.plugin().onServerSynchronized(kConnection);
        const Heard h = wait_to_hear(host, kFox, kFoxGain);
        EXPECT_TRUE(heard_as(h, kFoxGain.left, kFoxGain.right)) << "cycle " << i;
        host.shutdown();
    }
    stop.store(true);
    audio.join();
    EXPECT_EQ(wrong.load(), 0) << "calls that changed the buffer halfway or wrongly";
    EXPECT_GT(processed.load(), 0);
    EXPECT_GT(untouched.load(), 0);
    EXPECT_EQ(host.contract_violations(), std::vector<std::string>{});
}

} // namespace
} // namespace mvtest
