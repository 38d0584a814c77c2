// A stop in every state of the falloff worker: whether it comes from the host
// leaving the server or from shut-down, the worker ends, every socket is
// closed, and the host may unload the library the moment shut-down returns.
// A plugin thread still running holds its own reference on the library, so
// "no longer mapped after the host's unload" means no plugin code runs any more.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
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
constexpr mv::UserId kLocalUser = 7;
// Longer than any test: the server holds still (but keeps reading, so that it
// sees the plugin close) until it is destroyed.
constexpr uint32_t kHoldMs = 3600 * 1000;

enum class StopBy { shutdown, disconnect_then_shutdown };

// Where the worker is when the stop comes, and how the test knows it is there.
struct WorkerState {
    const char *name;
    bool has_hash;                             // false: the worker waits for an identity
    std::function<std::vector<Step>()> script; // the server, when there is one
    bool blackhole;                            // a server that never answers the connect
    std::function<bool(const TempPluginDir &, const FakeHost &, const ScriptServer *)> reached;
};

class StopUnload : public ::testing::Test {
  protected:
    ScopedEnv no_env_host_{"MARLPIKE_VOICE_HOST", std::nullopt};
    ScopedEnv no_env_port_{"MARLPIKE_VOICE_PORT", std::nullopt};
    ProofVector vector_ = proof_vector("40-hex certificate hash");

    Handshake handshake(std::string reply = "OK\n") const {
        return {"k", "VC-Me", vector_.token, vector_.proof, std::move(reply)};
    }

    std::vector<WorkerState> states() const {
        const auto log_has = [](std::string prefix) {
            return [prefix](const TempPluginDir &dir, const FakeHost &, const ScriptServer *) {
                return wait_for_log_messages(dir, prefix);
            };
        };
        const auto server_got = [](std::string prefix) {
            return [prefix](const TempPluginDir &, const FakeHost &, const ScriptServer *server) {
                return server->wait_for_line(prefix, 0).has_value();
            };
        };
        return {
            {"backoff, waiting for a certificate hash", false, nullptr, false,
             [](const TempPluginDir &, const FakeHost &host, const ScriptServer *) {
                 return host.wait_for_log("certificate hash is empty").has_value();
             }},
            {"backoff after a refused connect", true, nullptr, false, log_has("falloff_connect_fail")},
            {"connecting to a server that never answers", true, nullptr, true,
             log_has("falloff_connect_attempt")},
            {"awaiting the challenge", true,
             [] {
                 return std::vector<Step>{Step::expect_any(), Step::pause(kHoldMs)};
             },
             false, server_got("HELLO2 ")},
            {"awaiting the accept", true,
             [this] {
                 return std::vector<Step>{Step::handshake(handshake("")), Step::pause(kHoldMs)};
             },
             false, server_got("PROOF ")},
            {"established", true,
             [this] {
                 return std::vector<Step>{Step::handshake(handshake()), Step::send_line("UPDATE2 VC-Me 1")};
             },
             false,
             [](const TempPluginDir &dir, const FakeHost &, const ScriptServer *) {
                 return wait_for_log_messages(dir, "received UPDATE2");
             }},
        };
    }
};

TEST_F(StopUnload, EveryWorkerStateEndsAndTheLibraryUnloadsAtOnce) {
    for (const WorkerState &state : states()) {
        for (StopBy stop : {StopBy::shutdown, StopBy::disconnect_then_shutdown}) {
            SCOPED_TRACE(std::string(state.name) +
                         (stop == StopBy::shutdown ? ", shut down" : ", server left, then shut down"));
            std::unique_ptr<ScriptServer> server;
            std::unique_ptr<BlackholeListener> blackhole;
            uint16_t port = 0;
            if (state.script) {
                server = std::make_unique<ScriptServer>(state.script());
                ASSERT_TRUE(server->listening());
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
            ASSERT_TRUE(host->loaded()) << host->load_error();
            dir.write_ini("server_port=" + std::to_string(port) + "\napi_key=k\nreconnect_sec=1\n");
            host->set_connection(kConnection);
            host->set_local_user(kLocalUser);
            host->set_roster({{kLocalUser, "VC-Me", state.has_hash ? vector_.key : ""}});
            host->register_api();
            ASSERT_EQ(host->init(), 0);
            host->plugin().onServerSynchronized(kConnection);
            ASSERT_TRUE(state.reached(dir, *host, server.get()));

            if (stop == StopBy::disconnect_then_shutdown) {
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
                EXPECT_EQ(count_prefixed(messages, "falloff_connect_attempt"),
                          count_prefixed(messages, "falloff_connect_fail") + 1);
            }
            if (server) {
                EXPECT_EQ(server->connections(), 1u);
                EXPECT_EQ(server->errors(), std::vector<std::string>{});
            }
        }
    }
}

} // namespace
} // namespace mvtest
