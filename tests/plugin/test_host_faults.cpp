// A host that misbehaves, or behaves in ways plugins rarely see: API slots
// that are missing, fail, or answer "OK" with nothing; crowded servers and
// very long names; events out of order or from racing threads; audio during
// shutdown; and the library unloaded the moment shutdown returns, whatever
// the worker was doing.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audio_probe.h"
#include "blackhole_listener.h"
#include "fake_host.h"
#include "log_file.h"
#include "module_probe.h"
#include "os_probe.h"
#include "plugin_library.h"
#include "proof_vectors.h"
#include "script_server.h"

namespace mvtest {
namespace {

constexpr mv::ConnectionId kConnection = 7;
constexpr mv::UserId kMe = 1, kFox = 2, kOwl = 3;
const std::string kApiKey = "hf-key-Zp4Lq8Ns2T";

const ProofVector &vector40() {
    static const ProofVector v = proof_vector("40-hex certificate hash");
    return v;
}

Handshake handshake_as(std::string alias) {
    return {kApiKey, std::move(alias), vector40().token, vector40().proof};
}

std::string settings(uint16_t port, const std::string &extra = "") {
    return "server_port=" + std::to_string(port) + "\napi_key=" + kApiKey + "\nreconnect_sec=1\n" + extra;
}

std::vector<RosterUser> roster() {
    return {{kMe, "VC-Me", vector40().key}, {kFox, "VC-Fox", ""}, {kOwl, "VC-Owl", ""}};
}

const Heard kFoxGain = expected(0.5f, 0.0f);
const Heard kOwlGain = expected(0.25f, 0.0f);
const Heard kSilent{0.0f, 0.0f};

// Polls until the thread count is back at want; returns the last count.
long settle_threads(long want) {
    const auto until = std::chrono::steady_clock::now() + kDefaultDeadline;
    for (;;) {
        const long now = resource_counts().threads;
        if (now == want || std::chrono::steady_clock::now() >= until) return now;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool wait_unmapped(const std::string &path) {
    const auto until = std::chrono::steady_clock::now() + kDefaultDeadline;
    while (library_mapped(path)) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class HostFaults : public ::testing::Test {
  protected:
    ScopedEnv no_env_host_{"MARLPIKE_VOICE_HOST", std::nullopt};
    ScopedEnv no_env_port_{"MARLPIKE_VOICE_PORT", std::nullopt};
};

// ---- one API slot misbehaving ------------------------------------------------

struct SlotCase {
    const char *name = "";
    mv::ApiSlot slot = mv::kSlotLog;
    ApiFault fault{};
    bool links = false;                     // identity complete: the worker gets a link
    Heard fox = kSilent, owl = kSilent;     // heard once the server's update is applied
    std::vector<std::string> host_log{};    // the host's log holds lines containing these
    std::vector<std::string> host_absent{}; // and none containing these
    std::vector<std::string> file_log{};    // the log file likewise
    std::vector<std::string> file_absent{};
    std::vector<mv::ApiSlot> never_called{};
};

// Test names in CTest show the case's name, not its bytes.
void PrintTo(const SlotCase &c, std::ostream *out) {
    *out << c.name;
}

const ApiFault missing{Fault::missing, kStatusOk, std::nullopt};
const ApiFault failing{Fault::status, kStatusTimedOut, std::nullopt};
const ApiFault null_ok{Fault::null_result, kStatusOk, std::nullopt};

const char *const kHashEmpty = "Mumble certificate hash is empty; v05 voice authentication unavailable";

std::vector<SlotCase> slot_cases() {
    using namespace mv;
    const std::vector<ApiSlot> identity = {kSlotGetLocalUserId, kSlotGetUserHash};
    return {
        // Without freeMemory nothing may be asked for: it could not be released.
        {.name = "FreeMemoryMissing",
         .slot = kSlotFreeMemory,
         .fault = missing,
         .host_absent = {"local voice alias"},
         .file_absent = {"refreshed"},
         .never_called = {kSlotGetLocalUserId, kSlotGetUserName, kSlotGetAllUsers, kSlotGetUserHash}},
        {.name = "FreeMemoryFailing",
         .slot = kSlotFreeMemory,
         .fault = failing,
         .links = true,
         .fox = kFoxGain,
         .owl = kOwlGain,
         .host_log = {"local voice alias=VC-Me", "connected to falloff"}},
        {.name = "GetLocalUserIdMissing",
         .slot = kSlotGetLocalUserId,
         .fault = missing,
         .host_absent = {"local voice alias", "failed to read"},
         .file_log = {"refreshed 3 Mumble voice aliases"},
         .never_called = {kSlotGetUserHash}},
        {.name = "GetLocalUserIdFailing",
         .slot = kSlotGetLocalUserId,
         .fault = failing,
         .host_log = {"failed to read local Mumble user id"},
         .host_absent = {"local voice alias"},
         .never_called = {kSlotGetUserHash}},
        // "OK" without an id: the id stays 0, a user who does not exist.
        {.name = "GetLocalUserIdNull",
         .slot = kSlotGetLocalUserId,
         .fault = null_ok,
         .host_log = {kHashEmpty},
         .host_absent = {"local voice alias"}},
        {.name = "GetUserNameMissing",
         .slot = kSlotGetUserName,
         .fault = missing,
         .host_absent = {"local voice alias", "local Mumble hash"},
         .file_absent = {"refreshed"},
         .never_called = {kSlotGetLocalUserId, kSlotGetAllUsers, kSlotGetUserHash}},
        {.name = "GetUserNameFailing",
         .slot = kSlotGetUserName,
         .fault = failing,
         .host_log = {"local Mumble hash=3f1a9c0e"},
         .host_absent = {"local voice alias"},
         .file_log = {"refreshed 0 Mumble voice aliases"}},
        {.name = "GetUserNameNull",
         .slot = kSlotGetUserName,
         .fault = null_ok,
         .host_log = {"local Mumble hash=3f1a9c0e"},
         .host_absent = {"local voice alias"},
         .file_log = {"refreshed 0 Mumble voice aliases"}},
        // A name that cannot be read leaves no hole in the map.
        {.name = "GetUserNameFailingForOneUser",
         .slot = kSlotGetUserName,
         .fault = {Fault::status, kStatusNoSuchUser, kFox},
         .links = true,
         .owl = kOwlGain,
         .file_log = {"refreshed 2 Mumble voice aliases", "alias_map user_id=3 alias=VC-Owl"},
         .file_absent = {"alias_map user_id=2"}},
        {.name = "GetAllUsersMissing",
         .slot = kSlotGetAllUsers,
         .fault = missing,
         .links = true,
         .file_absent = {"refreshed"}},
        {.name = "GetAllUsersFailing",
         .slot = kSlotGetAllUsers,
         .fault = failing,
         .links = true,
         .file_absent = {"refreshed"}},
        // A null array with a non-zero count must not be read.
        {.name = "GetAllUsersNull",
         .slot = kSlotGetAllUsers,
         .fault = null_ok,
         .links = true,
         .file_absent = {"refreshed"}},
        {.name = "GetUserHashMissing",
         .slot = kSlotGetUserHash,
         .fault = missing,
         .host_absent = {"local voice alias", kHashEmpty},
         .file_log = {"refreshed 3 Mumble voice aliases"},
         .never_called = identity},
        {.name = "GetUserHashFailing",
         .slot = kSlotGetUserHash,
         .fault = failing,
         .host_log = {"local voice alias=VC-Me", kHashEmpty}},
        {.name = "GetUserHashNull",
         .slot = kSlotGetUserHash,
         .fault = null_ok,
         .host_log = {"local voice alias=VC-Me", kHashEmpty}},
        // Without the host's log, the lines still reach the file.
        {.name = "LogMissing",
         .slot = kSlotLog,
         .fault = missing,
         .links = true,
         .fox = kFoxGain,
         .owl = kOwlGain,
         .host_absent = {""},
         .file_log = {"loaded version=0.5.4", "local voice alias=VC-Me", "connected to falloff"}},
        {.name = "LogFailing",
         .slot = kSlotLog,
         .fault = failing,
         .links = true,
         .fox = kFoxGain,
         .owl = kOwlGain,
         .host_absent = {""},
         .file_log = {"loaded version=0.5.4", "connected to falloff"}},
    };
}

class SlotFaults : public HostFaults, public ::testing::WithParamInterface<SlotCase> {};

TEST_P(SlotFaults, DegradeWithoutCrashOrLeak) {
    const SlotCase &c = GetParam();
    ScriptServer server(
        {Step::handshake(handshake_as("VC-Me")), Step::send_line("UPDATE2 VC-Fox 0.5 0, VC-Owl 0.25 0")});
    ASSERT_TRUE(server.listening());
    TempPluginDir dir;
    dir.write_ini(settings(server.port()));
    FakeHost host(dir.library_path());
    ASSERT_TRUE(host.loaded()) << host.load_error();
    host.set_connection(kConnection);
    host.set_local_user(kMe);
    host.set_roster(roster());
    host.set_fault(c.slot, c.fault);
    host.register_api();
    ASSERT_EQ(host.init(), 0);

    host.plugin().onServerSynchronized(kConnection);
    host.plugin().onUserAdded(kConnection, kOwl);
    host.plugin().onChannelEntered(kConnection, kFox, 1, 2);
    if (c.links) {
        // The update is applied once its log line is written.
        ASSERT_TRUE(wait_for_log_file(dir, "received UPDATE2 with 2 speakers"))
            << testing::PrintToString(log_messages(dir));
    }
    const Heard fox = hear(host, kFox);
    const Heard owl = hear(host, kOwl);
    EXPECT_TRUE(heard_as(fox, c.fox.left, c.fox.right)) << fox.left << " " << fox.right;
    EXPECT_TRUE(heard_as(owl, c.owl.left, c.owl.right)) << owl.left << " " << owl.right;

    host.plugin().onServerDisconnected(kConnection);
    EXPECT_TRUE(heard_as(hear(host, kOwl), 0, 0));
    host.shutdown();

    const std::vector<std::string> host_log = host.log_lines();
    for (const std::string &text : c.host_log)
        EXPECT_GT(count_containing(host_log, text), 0u) << "host log lacks: " << text;
    for (const std::string &text : c.host_absent)
        EXPECT_EQ(count_containing(host_log, text), 0u) << "host log has: " << text;
    const std::vector<std::string> file_log = log_messages(dir);
    for (const std::string &text : c.file_log)
        EXPECT_GT(count_containing(file_log, text), 0u) << "log file lacks: " << text;
    for (const std::string &text : c.file_absent)
        EXPECT_EQ(count_containing(file_log, text), 0u) << "log file has: " << text;
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

TEST_F(HostFaults, SixHundredUsersFillTheMapToItsCapacity) {
    std::vector<RosterUser> users = {{kMe, "VC-Me", vector40().key}};
    for (mv::UserId id = 100; id < 700; ++id)
        users.push_back({id, "VC-U" + std::to_string(id), ""});
    // Users 1 to 511 after the local one are in the map; the 513th user is not.
    ScriptServer server(
        {Step::handshake(handshake_as("VC-Me")), Step::send_line("UPDATE2 VC-U610 0.5 0, VC-U611 0.5 0")});
    TempPluginDir dir;
    dir.write_ini(settings(server.port()));
    FakeHost host(dir.library_path());
    ASSERT_TRUE(host.loaded()) << host.load_error();
    host.set_connection(kConnection);
    host.set_local_user(kMe);
    host.set_roster(users);
    host.register_api();
    ASSERT_EQ(host.init(), 0);
    host.plugin().onServerSynchronized(kConnection);

    const size_t names_before = host.calls(mv::kSlotGetUserName);
    host.plugin().onUserAdded(kConnection, 699);
    EXPECT_EQ(host.calls(mv::kSlotGetUserName) - names_before, 512u) << "names asked beyond the capacity";
    ASSERT_TRUE(wait_for_log_file(dir, "received UPDATE2 with 2 speakers"));
    const Heard in_map = hear(host, 610);
    EXPECT_TRUE(heard_as(in_map, kFoxGain.left, kFoxGain.right)) << in_map.left;
    EXPECT_TRUE(heard_as(hear(host, 611), 0, 0)) << "the 513th user has a row";

    host.shutdown();
    const std::vector<std::string> log = log_messages(dir);
    EXPECT_EQ(count_containing(log, "refreshed 512 Mumble voice aliases"), 2u);
    EXPECT_EQ(count_containing(log, "alias_map user_id=610 alias=VC-U610"), 2u);
    EXPECT_EQ(count_containing(log, "alias_map user_id=611 "), 0u);
    EXPECT_EQ(host.contract_violations(), std::vector<std::string>{});
}

TEST_F(HostFaults, ThousandCharacterNamesAreCutNeverOverrun) {
    const std::string me = "VC-M" + std::string(996, 'e');
    const std::string fox = "VC-F" + std::string(996, 'o');
    ScriptServer server({Step::handshake(handshake_as(me.substr(0, 127))),
                         Step::send_line("UPDATE2 " + fox.substr(0, 127) + " 0.5 0")});
    TempPluginDir dir;
    dir.write_ini(settings(server.port()));
    FakeHost host(dir.library_path());
    ASSERT_TRUE(host.loaded()) << host.load_error();
    host.set_connection(kConnection);
    host.set_local_user(kMe);
    host.set_roster({{kMe, me, vector40().key}, {kFox, fox, ""}});
    host.register_api();
    ASSERT_EQ(host.init(), 0);
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

// ---- events out of order -----------------------------------------------------

TEST_F(HostFaults, EventsBeforeInitAndBeforeSynchronisationChangeNothing) {
    TempPluginDir dir;
    dir.write_ini(settings(9));
    FakeHost host(dir.library_path());
    ASSERT_TRUE(host.loaded()) << host.load_error();
    host.set_connection(kConnection);
    host.set_local_user(kMe);
    host.set_roster(roster());
    host.register_api();
    const PluginExports &p = host.plugin();
    const auto user_events = [&] {
        p.onUserAdded(kConnection, kFox);
        p.onUserRemoved(kConnection, kFox);
        p.onChannelEntered(kConnection, kFox, 0, 1);
        p.onServerDisconnected(kConnection);
    };

    user_events(); // before init
    float frame[2] = {0.5f, -0.5f};
    EXPECT_FALSE(p.onAudioSourceFetched(frame, 1, 2, 48000, true, kFox));
    EXPECT_EQ(frame[0], 0.5f);
    ASSERT_EQ(host.init(), 0);
    user_events(); // initialised, not synchronised
    for (mv::ApiSlot slot : {mv::kSlotGetAllUsers, mv::kSlotGetUserName, mv::kSlotGetLocalUserId})
        EXPECT_EQ(host.calls(slot), 0u) << "slot " << slot;
    EXPECT_TRUE(heard_as(hear(host, kFox), 0, 0));

    // A normal synchronisation afterwards still works.
    p.onServerSynchronized(kConnection);
    EXPECT_TRUE(host.wait_for_log("local voice alias=VC-Me"));
    EXPECT_EQ(count_containing(log_messages(dir), "refreshed 3 Mumble voice aliases"), 1u);
    host.shutdown();
    EXPECT_EQ(host.contract_violations(), std::vector<std::string>{});
}

// The host's network thread reports a disconnect while its main thread is
// synchronising and delivering user events. Meant for ThreadSanitizer too.
TEST_F(HostFaults, DisconnectRacesSynchronisationAndUserEvents) {
    const long threads = baseline_counts().threads;
    std::vector<Step> script;
    for (int i = 0; i < 20; ++i) {
        script.push_back(Step::handshake(handshake_as("VC-Me")));
        script.push_back(Step::send_line("UPDATE2 VC-Fox 0.5 0"));
        script.push_back(Step::expect_close());
        script.push_back(Step::accept());
    }
    // Connections beyond the script, or cut in the middle, end its play;
    // later ones wait in the queue until a stop ends them.
    auto server = std::make_unique<ScriptServer>(std::move(script));
    TempPluginDir dir;
    dir.write_ini(settings(server->port()));
    FakeHost host(dir.library_path());
    ASSERT_TRUE(host.loaded()) << host.load_error();
    host.set_connection(kConnection);
    host.set_local_user(kMe);
    host.set_roster(roster());
    host.register_api();
    ASSERT_EQ(host.init(), 0);
    const PluginExports &p = host.plugin();

    constexpr int kRounds = 300;
    std::atomic<bool> go{false};
    std::thread main_thread([&] {
        while (!go.load())
            std::this_thread::yield();
        for (int i = 0; i < kRounds; ++i) {
            p.onServerSynchronized(kConnection);
            p.onUserAdded(kConnection, kOwl);
            p.onChannelEntered(kConnection, kFox, 0, 1);
            p.onUserRemoved(kConnection, kOwl);
        }
    });
    std::thread network_thread([&] {
        while (!go.load())
            std::this_thread::yield();
        for (int i = 0; i < kRounds; ++i) {
            p.onServerDisconnected(kConnection);
            if (i % 16 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    go.store(true);
    main_thread.join();
    network_thread.join();

    p.onServerDisconnected(kConnection);
    EXPECT_TRUE(heard_as(hear(host, kFox), 0, 0)) << "heard after the last disconnect";
    host.shutdown();
    server.reset();
    // A worker that a stop missed would still be running now.
    EXPECT_EQ(settle_threads(threads), threads) << "a worker outlived shutdown";

    // Still sound afterwards: a fresh start links and applies an update.
    ScriptServer fresh({Step::handshake(handshake_as("VC-Me")), Step::send_line("UPDATE2 VC-Fox 0.5 0")});
    dir.write_ini(settings(fresh.port()));
    ASSERT_EQ(host.init(), 0);
    p.onServerSynchronized(kConnection);
    const Heard h = wait_to_hear(host, kFox, kFoxGain);
    EXPECT_TRUE(heard_as(h, kFoxGain.left, kFoxGain.right)) << h.left;
    host.shutdown();
    EXPECT_EQ(host.contract_violations(), std::vector<std::string>{});
}

// Nothing stops the host's audio thread around shutdown: a call then must
// either be processed whole or leave the buffer alone.
TEST_F(HostFaults, AudioCallbacksRaceShutdown) {
    constexpr int kCycles = 40;
    std::vector<Step> script;
    for (int i = 0; i < kCycles; ++i) {
        script.push_back(Step::handshake(handshake_as("VC-Me")));
        script.push_back(Step::send_line("UPDATE2 VC-Fox 0.5 0"));
        script.push_back(Step::expect_close());
        script.push_back(Step::accept());
    }
    ScriptServer server(std::move(script));
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
            if (!done) {
                (whole && heard_as(first, 1.0f, 1.0f) ? untouched : wrong).fetch_add(1);
            } else {
                const bool ok =
                    whole && (heard_as(first, 0, 0) || heard_as(first, kFoxGain.left, kFoxGain.right));
                (ok ? processed : wrong).fetch_add(1);
            }
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

// ---- unloading right after shutdown ------------------------------------------

enum class WorkerState { idle, awaiting_identity, backoff, connecting, handshaking, established, flooded };

struct UnloadCase {
    const char *name;
    WorkerState state;
};

// Test names in CTest show the case's name, not its bytes.
void PrintTo(const UnloadCase &c, std::ostream *out) {
    *out << c.name;
}

class UnloadAfterShutdown : public HostFaults, public ::testing::WithParamInterface<UnloadCase> {};

#if defined(_WIN32) || defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kUnloadCycles = 40; // slower hosts; every state still gets many tries
#else
constexpr int kUnloadCycles = 100;
#endif

TEST_P(UnloadAfterShutdown, LeavesNoThreadAndNoMapping) {
    const WorkerState state = GetParam().state;
    std::unique_ptr<BlackholeListener> blackhole;
    if (state == WorkerState::connecting) {
        blackhole = std::make_unique<BlackholeListener>();
        ASSERT_TRUE(blackhole->ready());
    }
    TempPluginDir dir;
    const std::string library = dir.library_path();
    // Cycle 0 sets the baseline: the system may keep threads of its own that
    // the first use of sockets or of the library starts (Wine does).
    long threads = 0;
    for (int cycle = 0; cycle <= kUnloadCycles; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        std::unique_ptr<ScriptServer> server;
        uint16_t port = 9;
        switch (state) {
        case WorkerState::handshaking:
            server = std::make_unique<ScriptServer>(std::vector<Step>{Step::expect_close()});
            break;
        case WorkerState::established:
            server =
                std::make_unique<ScriptServer>(std::vector<Step>{Step::handshake(handshake_as("VC-Me"))});
            break;
        case WorkerState::flooded: {
            std::string flood;
            for (int i = 0; i < 2000; ++i)
                flood += "UPDATE2 VC-Fox 0." + std::to_string(i % 10) + " 0\n";
            server = std::make_unique<ScriptServer>(
                std::vector<Step>{Step::handshake(handshake_as("VC-Me")), Step::send(flood)});
            break;
        }
        case WorkerState::backoff: {
            const net::Socket probe = net::listen_loopback(&port);
            net::close_socket(probe);
            break;
        }
        case WorkerState::connecting:
            port = blackhole->port();
            break;
        default:
            break;
        }
        if (server) port = server->port();
        std::remove(dir.log_path().c_str()); // each cycle waits on its own lines
        dir.write_ini(settings(port));

        auto host = std::make_unique<FakeHost>(library);
        ASSERT_TRUE(host->loaded()) << host->load_error();
        host->set_connection(kConnection);
        host->set_local_user(kMe);
        std::vector<RosterUser> users = roster();
        if (state == WorkerState::awaiting_identity) users[0].hash.clear();
        host->set_roster(users);
        host->register_api();
        ASSERT_EQ(host->init(), 0);
        if (state != WorkerState::idle) host->plugin().onServerSynchronized(kConnection);

        switch (state) {
        case WorkerState::awaiting_identity:
            ASSERT_TRUE(host->wait_for_log(kHashEmpty));
            break;
        case WorkerState::backoff:
            ASSERT_TRUE(wait_for_log_file(dir, "falloff_connect_fail"));
            break;
        case WorkerState::connecting:
            ASSERT_TRUE(wait_for_log_file(dir, "falloff_connect_attempt"));
            break;
        case WorkerState::handshaking:
            ASSERT_TRUE(server->wait_for_line("HELLO2"));
            break;
        case WorkerState::established:
            ASSERT_TRUE(host->wait_for_log("connected to falloff"));
            break;
        case WorkerState::flooded:
            ASSERT_TRUE(wait_for_log_file(dir, "received UPDATE2"));
            break;
        default:
            break;
        }
        host->shutdown();
        host->unload();
        EXPECT_EQ(host->contract_violations(), std::vector<std::string>{});
        host.reset();
        ASSERT_TRUE(wait_unmapped(library)) << "the library stayed mapped after unload";
        server.reset();
        if (cycle == 0) {
            threads = baseline_counts().threads;
        } else {
            ASSERT_EQ(settle_threads(threads), threads) << "a plugin thread outlived the unload";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(States, UnloadAfterShutdown,
                         ::testing::Values(UnloadCase{"Idle", WorkerState::idle},
                                           UnloadCase{"AwaitingIdentity", WorkerState::awaiting_identity},
                                           UnloadCase{"Backoff", WorkerState::backoff},
                                           UnloadCase{"Connecting", WorkerState::connecting},
                                           UnloadCase{"Handshaking", WorkerState::handshaking},
                                           UnloadCase{"Established", WorkerState::established},
                                           UnloadCase{"ReceivingAFlood", WorkerState::flooded}),
                         [](const ::testing::TestParamInfo<UnloadCase> &info) { return info.param.name; });

} // namespace
} // namespace mvtest
