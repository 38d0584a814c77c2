// A stop in every state of the falloff worker: whether it comes from the host
// leaving the server or from shut-down, the worker ends, every socket is
// closed, and the host may unload the library the moment shut-down returns.
// A plugin thread still running holds its own reference on the library, so
// "no longer mapped after the host's unload" means no plugin code runs any more.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "blackhole_listener.h"
#include "fake_host.h"
#include "log_file.h"
#include "module_probe.h"
#include "plugin_library.h"
#include "proof_vectors.h"
#include "script_server.h"

namespace mvtest {
namespace {

constexpr mv::ConnectionId kConnection = 2;
// Longer than any test: the server holds still (but keeps reading, so that it
// sees the plugin close) until it is destroyed.
constexpr uint32_t kHoldMs = 3600 * 1000;

Handshake handshake(std::string reply = "OK\n") {
    return {"k", "VC-Me", cert40().token, cert40().proof, std::move(reply)};
}

// Where the worker is when the stop comes, and how the test knows it is there.
struct WorkerState {
    const char *name;
    bool has_hash;            // false: the worker waits for an identity
    std::vector<Step> script; // the server, when there is one
    bool blackhole;           // a server that never answers the connect
    const char *host_log;     // the state is reached once the host's log,
    const char *file_log;     // or the log file,
    const char *server_got;   // or the server has this
};

std::vector<WorkerState> states() {
    std::string flood;
    for (int i = 0; i < 1000; ++i)
        flood += "UPDATE2 VC-Fox 0." + std::to_string(i % 10) + " 0\n";
    return {
        {"backoff, waiting for a certificate hash", false, {}, false, "certificate hash is empty", "", ""},
        {"backoff after a refused connect", true, {}, false, "", "falloff_connect_fail", ""},
        {"connecting to a server that never answers", true, {}, true, "", "falloff_connect_attempt", ""},
        {"awaiting the challenge",
         true,
         {Step::expect_any(), Step::pause(kHoldMs)},
         false,
         "",
         "",
         "HELLO2 "},
        {"awaiting the accept",
         true,
         {Step::handshake(handshake("")), Step::pause(kHoldMs)},
         false,
         "",
         "",
         "PROOF "},
        {"established, receiving a flood of updates",
         true,
         {Step::handshake(handshake()), Step::send(flood)},
         false,
         "",
         "received UPDATE2",
         ""},
    };
}

// Unloading right after shutdown is repeated, since a race with a worker that
// is just leaving shows only now and then; slower builds repeat it less.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define MV_SLOW_BUILD 1
#endif
#endif
#if defined(_WIN32) || defined(MV_SLOW_BUILD)
constexpr int kUnloadRounds = 40;
#else
constexpr int kUnloadRounds = 100;
#endif

TEST(StopUnload, EveryWorkerStateEndsAndTheLibraryUnloadsAtOnce) {
    for (const WorkerState &state : states()) {
        for (bool disconnect_first : {false, true}) {
            for (int round = 0; round < (disconnect_first ? 1 : kUnloadRounds); ++round) {
                SCOPED_TRACE(std::string(state.name) +
                             (disconnect_first ? ", server left, then shut down" : "") + ", round " +
                             std::to_string(round));
                std::unique_ptr<ScriptServer> server;
                std::unique_ptr<BlackholeListener> blackhole;
                uint16_t port = 0;
                if (!state.script.empty()) {
                    server = std::make_unique<ScriptServer>(state.script);
                    port = server->port();
                } else if (state.blackhole) {
                    blackhole = std::make_unique<BlackholeListener>();
                    ASSERT_TRUE(blackhole->ready()) << "the accept queue never filled";
                    port = blackhole->port();
                } else {
                    net::close_socket(net::listen_loopback(&port)); // nothing listens there now
                }

                TempPluginDir dir;
                const std::string library = dir.library_path();
                auto host = std::make_unique<FakeHost>(library);
                // A backoff far longer than the stopper's wait: only a stop that
                // interrupts it lets the library unload at once.
                dir.write_ini("server_port=" + std::to_string(port) + "\napi_key=k\nreconnect_sec=30\n");
                ASSERT_TRUE(host->start({{7, "VC-Me", state.has_hash ? cert40().key : ""}}, kConnection));
                host->plugin().onServerSynchronized(kConnection);
                if (*state.host_log) {
                    ASSERT_TRUE(host->wait_for_log(state.host_log));
                } else if (*state.file_log) {
                    ASSERT_TRUE(wait_for_log_file(dir, state.file_log));
                } else {
                    ASSERT_TRUE(server->wait_for_lines(state.server_got, 1, 0));
                }

                if (disconnect_first) {
                    host->plugin().onServerDisconnected(kConnection);
                    if (server) {
                        EXPECT_TRUE(server->wait_for_peer_close(0));
                    }
                }
                host->shutdown();
                if (server) {
                    EXPECT_TRUE(server->wait_for_peer_close(0));
                }
                EXPECT_EQ(host->contract_violations(), std::vector<std::string>{});
                ASSERT_TRUE(library_mapped(library)); // the probe sees the host's own load
                host->unload();
                EXPECT_FALSE(library_mapped(library)) << "a plugin thread still holds the library";
                host.reset();

                if (state.blackhole) {
                    // The stop came while the connect was in progress: its attempt
                    // has no failure line.
                    const std::vector<std::string> messages = log_messages(dir);
                    EXPECT_EQ(count_containing(messages, "falloff_connect_attempt"),
                              count_containing(messages, "falloff_connect_fail") + 1);
                }
                if (server) {
                    EXPECT_EQ(server->connections(), 1u);
                    EXPECT_EQ(server->errors(), std::vector<std::string>{});
                }
            }
        }
    }
}

} // namespace
} // namespace mvtest
