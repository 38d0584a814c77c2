// Hours of play in a few seconds: many links made and dropped by the host,
// and the plugin loaded and unloaded over and over. The
// process's open handles (sockets, files, events) and threads must end where
// they started.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
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

Handshake handshake() {
    return {kApiKey, "VC-Me", cert40().token, cert40().proof};
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

bool bring_up(FakeHost &host) {
    return host.start({{kMe, "VC-Me", cert40().key}, {2, "VC-Fox", ""}}, kConnection);
}

// The host joins and leaves a server 1000 times; each time the worker makes
// a whole link (connect, handshake, established) that the leave tears down.
TEST(Resources, ThousandHostConnectionsEachWithALink) {
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
    ASSERT_TRUE(bring_up(host)) << host.load_error();
    const PluginExports &p = host.plugin();

    // One round first, so that whatever the first link sets up for good is
    // in the baseline.
    p.onServerSynchronized(kConnection);
    ASSERT_TRUE(host.wait_for_log(kConnected, 1));
    p.onServerDisconnected(kConnection);
    ASSERT_TRUE(server.wait_for_peer_close(0));
    const ResourceCounts before = steady();

    for (size_t i = 1; i <= kCycles; ++i) {
        p.onServerSynchronized(kConnection);
        ASSERT_TRUE(host.wait_for_log(kConnected, i + 1)) << "cycle " << i;
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

// The whole plugin comes and goes: load, start, join a server, shut down,
// unload.
TEST(Resources, LoadStartStopUnloadCycles) {
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
        ASSERT_TRUE(bring_up(host)) << host.load_error();
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
