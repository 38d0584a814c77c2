// A stop in every state of the falloff worker: whether it comes from the host
// leaving the server or from shut-down, the worker ends, every socket is
// closed, and the host may unload the library the moment shut-down returns.
// A plugin thread still running holds its own reference on the library, so
// "no longer mapped after the host's unload" means no plugin code runs any
// more. A name lookup cannot be interrupted: it keeps the library mapped until
// it returns, and then lets it go.
#include <gtest/gtest.h>

#include <memory>

#include "lookup_probe.h"
#include "os_probe.h"
#include "session.h"

namespace mvtest {
namespace {

constexpr ConnectionId kConnection = 2;
// Longer than any test: the server holds still (but keeps reading, so that it
// sees the plugin close) until it is destroyed.
constexpr uint32_t kHoldMs = 3600 * 1000;

enum class Target { refused_port, blackhole, server, hanging_lookup };
// How the test knows that the worker is there.
enum class Sign { host_log, file_log, server_got, lookup_held };

struct WorkerState {
    const char *name;
    Target target;
    Sign sign;
    const char *text = "";
    std::vector<Step> script{};
    bool identity = true; // false: no certificate hash, so the worker waits for one
};

bool reached(const WorkerState &state, Plugin &p, ScriptServer *server) {
    switch (state.sign) {
    case Sign::host_log:
        return p.host.wait_for_log(state.text);
    case Sign::file_log:
        return p.wait_log(state.text);
    case Sign::server_got:
        return server->wait_for_lines(state.text, 1, 0);
    case Sign::lookup_held:
        break;
    }
    return eventually([] { return lookups_held() == 1; });
}

std::vector<WorkerState> states() {
    std::string flood;
    for (int i = 0; i < 1000; ++i)
        flood += "UPDATE2 VC-Fox 0." + std::to_string(i % 10) + " 0\n";
    const std::vector<Step> none, hello{Step::expect_any(), Step::pause(kHoldMs)},
        proof{Step::handshake(handshake("")), Step::pause(kHoldMs)},
        flooded{Step::handshake(handshake()), Step::send(flood)};
    std::vector<WorkerState> all{
        {"waiting for a certificate hash", Target::refused_port, Sign::host_log, "certificate hash is empty",
         none, false},
        {"backoff after a refused connect", Target::refused_port, Sign::file_log, "falloff_connect_fail"},
        {"connecting to a server that never answers", Target::blackhole, Sign::file_log,
         "falloff_connect_attempt"},
        {"awaiting the challenge", Target::server, Sign::server_got, "HELLO2 ", hello},
        {"awaiting the accept", Target::server, Sign::server_got, "PROOF ", proof},
        {"established, receiving a flood of updates", Target::server, Sign::file_log, "received UPDATE2",
         flooded},
    };
#if !defined(_WIN32)
    all.push_back({"inside a name lookup that never answers", Target::hanging_lookup, Sign::lookup_held});
#endif
    return all;
}

TEST(StopUnload, EveryWorkerStateEndsAndTheLibraryUnloadsAtOnce) {
    const int rounds = kSlowBuild ? 8 : 20;
    for (const WorkerState &state : states()) {
        std::unique_ptr<mvnet::BlackholeListener> blackhole;
        uint16_t port = mvnet::refused_port();
        if (state.target == Target::blackhole) {
            blackhole = std::make_unique<mvnet::BlackholeListener>(); // stays full round after round
            ASSERT_TRUE(blackhole->ready()) << "the accept queue never filled";
            port = blackhole->port();
        }
        const bool lookup = state.target == Target::hanging_lookup;
        if (lookup) hold_lookups();
        for (int round = 0; round < rounds; ++round) {
            const bool leave_first = round == 0;
            SCOPED_TRACE(std::string(state.name) + (leave_first ? ", server left first" : "") + ", round " +
                         std::to_string(round));
            std::unique_ptr<ScriptServer> server;
            if (state.target == Target::server) {
                server = std::make_unique<ScriptServer>(state.script);
                port = server->port();
            }
            // A backoff far longer than the stopper's wait: only a stop that
            // interrupts it lets the library unload at once.
            Plugin p(settings(port, std::string("reconnect_sec=30\n") +
                                        (lookup ? std::string("server_host=") + kHangingName + "\n" : "")));
            const std::string library = p.dir.library_path();
            ASSERT_TRUE(p.host.start({{kMe, "VC-Me", state.identity ? cert40().key : ""}}, kConnection));
            ASSERT_TRUE(reached(state, p, server.get()));
            // The attempt line comes before the name lookup; a moment later
            // the connect is under way, with seconds to go.
            if (blackhole) std::this_thread::sleep_for(std::chrono::milliseconds(200));
            if (leave_first) {
                p.host.leave();
                EXPECT_TRUE(!server || server->wait_for_peer_close(0));
            }
            p.finish();
            EXPECT_TRUE(!server || server->wait_for_peer_close(0));
            ASSERT_TRUE(library_mapped(library)); // the probe sees the host's own load
            p.host.unload();
            if (lookup) {
                EXPECT_TRUE(library_mapped(library)) << "the lookup has no code to return to";
                release_lookups();
                EXPECT_TRUE(eventually([&] { return !library_mapped(library); }));
                hold_lookups();
            } else {
                // A lookup thread that has just answered may still be on its
                // way out; a worker that was not stopped stays for seconds.
                EXPECT_TRUE(eventually([&] { return !library_mapped(library); }, std::chrono::seconds(1)))
                    << "a plugin thread still holds the library";
            }
            // A stop during a connect leaves its attempt without a failure line.
            if (blackhole) {
                EXPECT_EQ(p.count("falloff_connect_attempt"), p.count("falloff_connect_fail") + 1);
            }
            if (server) {
                EXPECT_EQ(server->connections(), 1u);
                EXPECT_EQ(server->errors(), kNone);
            }
        }
        if (lookup) release_lookups();
    }
}

} // namespace
} // namespace mvtest
