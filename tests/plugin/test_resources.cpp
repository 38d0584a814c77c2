// Hours of play in a few seconds: many links made and dropped, by the host
// and by the server, and the plugin loaded and unloaded over and over. The
// process's open handles (sockets, files, events) and threads must end where
// they started.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fake_host.h"
#include "log_file.h"
#include "module_probe.h"
#include "os_probe.h"
#include "plugin_library.h"
#include "proof_vectors.h"
#include "script_server.h"

namespace mvtest {
namespace {

constexpr mv::ConnectionId kConnection = 11;
constexpr mv::UserId kMe = 1;
const std::string kApiKey = "rs-key-Hw3Jd6Pc1Y";
constexpr const char *kConnected = "connected to falloff";

const ProofVector &vector40() {
    static const ProofVector v = proof_vector("40-hex certificate hash");
    return v;
}

Handshake handshake() {
    return {kApiKey, "VC-Me", vector40().token, vector40().proof};
}

std::string settings(uint16_t port) {
    return "server_port=" + std::to_string(port) + "\napi_key=" + kApiKey +
           "\nreconnect_sec=1\ndebug_log=1\n";
}

std::string describe(const ResourceCounts &before, const ResourceCounts &after) {
    return "before: " + std::to_string(before.handles) + " handles, " + std::to_string(before.threads) +
           " threads; after: " + std::to_string(after.handles) + " handles, " +
           std::to_string(after.threads) + " threads";
}

// Polls until both counts are back at most at where they were; returns the
// last reading. Closing a socket or ending a thread can lag a little.
ResourceCounts settle(ResourceCounts want) {
    const auto until = std::chrono::steady_clock::now() + kDefaultDeadline;
    for (;;) {
        const ResourceCounts now = resource_counts();
        if ((now.handles <= want.handles + now.handle_slack && now.threads <= want.threads) ||
            std::chrono::steady_clock::now() >= until)
            return now;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// A reading once nothing is closing any more: the same twice in a row.
ResourceCounts steady() {
    ResourceCounts last = baseline_counts();
    // A probe that cannot count would make every comparison pass.
    EXPECT_GT(last.handles, 0);
    EXPECT_GT(last.threads, 0);
    for (int i = 0; i < 50; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const ResourceCounts now = resource_counts();
        if (now.handles == last.handles && now.threads == last.threads) return now;
        last = now;
    }
    return last;
}

class Resources : public ::testing::Test {
  protected:
    ScopedEnv no_env_host_{"MARLPIKE_VOICE_HOST", std::nullopt};
    ScopedEnv no_env_port_{"MARLPIKE_VOICE_PORT", std::nullopt};

    void bring_up(FakeHost &host) {
        ASSERT_TRUE(host.loaded()) << host.load_error();
        host.set_connection(kConnection);
        host.set_local_user(kMe);
        host.set_roster({{kMe, "VC-Me", vector40().key}, {2, "VC-Fox", ""}});
        host.register_api();
        ASSERT_EQ(host.init(), 0);
    }
};

// The host joins and leaves a server 1000 times; each time the worker makes
// a whole link (connect, handshake, established) that the leave tears down.
TEST_F(Resources, ThousandHostConnectionsEachWithALink) {
    constexpr size_t kCycles = 1000;
    std::vector<Step> script;
    for (size_t i = 0; i <= kCycles; ++i) {
        script.push_back(Step::handshake(handshake()));
        script.push_back(Step::expect_close());
        script.push_back(Step::accept());
    }
    ScriptServer server(std::move(script));
    ASSERT_TRUE(server.listening());
    TempPluginDir dir;
    dir.write_ini(settings(server.port()));
    FakeHost host(dir.library_path());
    bring_up(host);
    const PluginExports &p = host.plugin();

    // One round first, so that whatever the first link sets up for good is
    // in the baseline.
    p.onServerSynchronized(kConnection);
    ASSERT_TRUE(host.wait_for_log_count(kConnected, 1));
    p.onServerDisconnected(kConnection);
    ASSERT_TRUE(server.wait_for_peer_close(0));
    const ResourceCounts before = steady();

    for (size_t i = 1; i <= kCycles; ++i) {
        p.onServerSynchronized(kConnection);
        ASSERT_TRUE(host.wait_for_log_count(kConnected, i + 1)) << "cycle " << i;
        p.onServerDisconnected(kConnection);
    }
    ASSERT_TRUE(server.wait_for_peer_close(kCycles));
    const ResourceCounts after = settle(before);
    EXPECT_LE(after.handles, before.handles + after.handle_slack) << describe(before, after);
    EXPECT_LE(after.threads, before.threads) << describe(before, after);

    host.shutdown();
    EXPECT_EQ(server.errors(), std::vector<std::string>{});
    EXPECT_EQ(server.connections(), kCycles + 1);
    EXPECT_EQ(count_containing(log_messages(dir), "falloff_connect_attempt"), kCycles + 1);
    EXPECT_EQ(host.contract_violations(), std::vector<std::string>{});
}

// The server drops established links; the worker cleans up and reconnects
// on its own each time.
TEST_F(Resources, LinksDroppedByTheServer) {
    constexpr size_t kDrops = 3;
    std::vector<Step> script;
    for (size_t i = 0; i <= kDrops; ++i) {
        script.push_back(Step::handshake(handshake()));
        script.push_back(i % 2 == 0 ? Step::close() : Step::reset());
        script.push_back(Step::accept());
    }
    script.push_back(Step::handshake(handshake()));
    ScriptServer server(std::move(script));
    TempPluginDir dir;
    dir.write_ini(settings(server.port()));
    FakeHost host(dir.library_path());
    bring_up(host);

    // Both readings are taken just after a drop, while the worker waits to
    // reconnect and the server waits for it.
    host.plugin().onServerSynchronized(kConnection);
    ASSERT_TRUE(wait_for_log_file(dir, "falloff_disconnected", 1));
    const ResourceCounts before = steady();
    ASSERT_TRUE(wait_for_log_file(dir, "falloff_disconnected", kDrops + 1, std::chrono::seconds(60)));
    const ResourceCounts after = settle(before);
    EXPECT_LE(after.handles, before.handles + after.handle_slack) << describe(before, after);
    EXPECT_LE(after.threads, before.threads) << describe(before, after);
    ASSERT_TRUE(host.wait_for_log_count(kConnected, kDrops + 2));

    host.shutdown();
    EXPECT_EQ(count_containing(log_messages(dir), "falloff_disconnected"), kDrops + 1);
    EXPECT_EQ(server.errors(), std::vector<std::string>{});
    EXPECT_EQ(host.contract_violations(), std::vector<std::string>{});
}

// The whole plugin comes and goes: load, start, join a server, shut down,
// unload.
TEST_F(Resources, LoadStartStopUnloadCycles) {
#if defined(_WIN32) || defined(__SANITIZE_THREAD__)
    constexpr int kCycles = 50;
#else
    constexpr int kCycles = 200;
#endif
    TempPluginDir dir;
    uint16_t refused = 0;
    net::close_socket(net::listen_loopback(&refused)); // nothing listens there now
    dir.write_ini(settings(refused));
    const ResourceCounts before = steady();

    for (int i = 0; i < kCycles; ++i) {
        FakeHost host(dir.library_path());
        bring_up(host);
        host.plugin().onServerSynchronized(kConnection);
        host.plugin().onServerDisconnected(kConnection);
        host.plugin().onServerSynchronized(kConnection);
        host.shutdown();
        host.unload();
        ASSERT_EQ(host.contract_violations(), std::vector<std::string>{}) << "cycle " << i;
    }
    const ResourceCounts after = settle(before);
    EXPECT_LE(after.handles, before.handles + after.handle_slack) << describe(before, after);
    EXPECT_LE(after.threads, before.threads) << describe(before, after);
    EXPECT_FALSE(library_mapped(dir.library_path()));
}

} // namespace
} // namespace mvtest
