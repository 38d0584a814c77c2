// A stop in every state of the falloff worker: whether it comes from the host
// leaving the server or from shut-down, the worker ends, every socket is
// closed, and the host may unload the library the moment shut-down returns.
// A plugin thread still running holds its own reference on the library, so
// "no longer mapped after the host's unload" means no plugin code runs any
// more. A name lookup cannot be interrupted: it keeps the library mapped until
// it returns, and then lets it go. Every round loads, starts, stops and unloads
// a fresh copy of the library; after them all, the process's handles and
// threads are back where they started.
#include <gtest/gtest.h>

#include <memory>

#include "net/lookup_hold.h"
#include "session.h"

namespace mvtest {
namespace {

constexpr ConnectionId kConnection = 2;
// Longer than any test: the server holds still (but keeps reading, so that it
// sees the plugin close) until it is destroyed.
constexpr uint32_t kHoldMs = 3600 * 1000;

enum class Target { refused_port, blackhole, server, hanging_lookup };

struct WorkerState {
    const char *name;
    Target target;
    // How the test knows that the worker is there: "H:" or "F:" and a line of
    // the host's log or the log file, "S:" and the beginning of a line the
    // server got; nothing for a lookup held.
    const char *sign = "";
    bool identity = true; // false: no certificate hash, so the worker waits for one
    std::vector<Step> script{};
};

bool reached(const WorkerState &state, Plugin &p, ScriptServer *server) {
    const std::string text = *state.sign != '\0' ? state.sign + 2 : "";
    if (state.sign[0] == 'H') return p.host.wait_for_log(text);
    if (state.sign[0] == 'F') return p.wait_log(text);
    if (state.sign[0] == 'S') return server->wait_for_lines(text, 1, 0);
    return eventually([] { return mvnet::lookups_held() == 1; });
}

std::vector<WorkerState> states() {
    std::string flood;
    for (int i = 0; i < 1000; ++i)
        flood += "UPDATE2 VC-Fox 0." + std::to_string(i % 10) + " 0\n";
    const std::vector<Step> hello{Step::expect_any(), Step::pause(kHoldMs)},
        proof{Step::handshake(handshake("")), Step::pause(kHoldMs)},
        flooded{Step::handshake(handshake()), Step::send(flood)};
    std::vector<WorkerState> all{
        {"waiting for a certificate hash", Target::refused_port, "H:certificate hash is empty", false},
        {"backoff after a refused connect", Target::refused_port, "F:falloff_connect_fail"},
        {"connecting to a server that never answers", Target::blackhole, "F:falloff_connect_attempt"},
        {"awaiting the challenge", Target::server, "S:HELLO2 ", true, hello},
        {"awaiting the accept", Target::server, "S:PROOF ", true, proof},
        {"established, receiving a flood of updates", Target::server, "F:received UPDATE2", true, flooded},
    };
#if !defined(_WIN32)
    all.push_back({"inside a name lookup that never answers", Target::hanging_lookup});
#endif
    return all;
}

TEST(StopUnload, EveryWorkerStateEndsAndTheLibraryUnloadsAtOnce) {
    const int rounds = kSlowBuild ? 8 : 20;
    const std::vector<WorkerState> all = states();
    const mvnet::BlackholeListener blackhole; // stays full round after round
    ASSERT_TRUE(blackhole.ready()) << "the accept queue never filled";
    mvnet::hold_lookups(true);
    ResourceCounts before{};
    for (int round = 0; round < rounds; ++round) {
        // What the first round sets up for good (the system's own threads and
        // caches among it) is in the baseline.
        if (round == 1) before = steady_counts();
        for (const WorkerState &state : all) {
            const bool leave_first = round == 1, lookup = state.target == Target::hanging_lookup;
            SCOPED_TRACE(std::string(state.name) + (leave_first ? ", server left first" : "") + ", round " +
                         std::to_string(round));
            std::unique_ptr<ScriptServer> server;
            const mvnet::RefusedPort refused;
            uint16_t port = state.target == Target::blackhole ? blackhole.port() : refused.port();
            if (state.target == Target::server) {
                server = std::make_unique<ScriptServer>(state.script);
                port = server->port();
            }
            // A backoff far longer than the stopper's wait: only a stop that
            // interrupts it lets the library unload at once.
            Plugin p(
                settings(port, std::string("reconnect_sec=30\n") +
                                   (lookup ? std::string("server_host=") + mvnet::kHangingName + "\n" : "")));
            const std::string library = p.dir.library_path();
            ASSERT_TRUE(p.host.start({{kMe, "VC-Me", state.identity ? cert40().key : ""}}, kConnection));
            ASSERT_TRUE(reached(state, p, server.get()));
            // The attempt line comes before the name lookup; a moment later
            // the connect is under way, with seconds to go.
            if (state.target == Target::blackhole)
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            if (leave_first) {
                p.host.leave();
                EXPECT_TRUE(!server || server->wait_for_peer_close(0));
            }
            if (lookup) {
                // While the lookup hangs, a new start may rewrite the settings
                // (no thread of the plugin still reads them); still on the
                // server, it joins and hangs in a second lookup.
                p.host.shutdown();
                p.dir.write_ini(std::string("server_host=") + mvnet::kHangingName + "\napi_key=other\n");
                ASSERT_TRUE(p.host.start());
                EXPECT_TRUE(eventually([&] { return mvnet::lookups_held() == (leave_first ? 1u : 2u); }));
            }
            p.finish(server.get());
            EXPECT_TRUE(!server || server->wait_for_peer_close(0));
            ASSERT_TRUE(library_mapped(library)); // the probe sees the host's own load
            p.host.unload();
            if (lookup) {
                EXPECT_TRUE(library_mapped(library)) << "the lookup has no code to return to";
                mvnet::hold_lookups(false);
                EXPECT_TRUE(eventually([&] { return !library_mapped(library); }));
                EXPECT_EQ(p.count("falloff resolve failed"), 0u);
                mvnet::hold_lookups(true);
            } else {
                // A lookup thread that has just answered may still be on its
                // way out; a worker that was not stopped stays for seconds.
                EXPECT_TRUE(eventually([&] { return !library_mapped(library); }, std::chrono::seconds(1)))
                    << "a plugin thread still holds the library";
            }
            // A stop during a connect leaves its attempt without a failure line.
            if (state.target == Target::blackhole) {
                EXPECT_EQ(p.count("falloff_connect_attempt"), p.count("falloff_connect_fail") + 1)
                    << p.dir.read_log().value_or("");
            }
            EXPECT_TRUE(!server || server->connections() == 1);
        }
    }
    mvnet::hold_lookups(false);
    expect_back_at(before);
}

// A stop never waits on a host call: the worker's log call waits for the
// host's main thread, where shutdown runs, yet shutdown returns before that
// call has ended or timed out; no API call starts after it, and the library
// unloads once the call has returned into it.
TEST(StopUnload, ShutdownLeavesAWorkerInAHostCallBehind) {
    ScriptServer server(
        {Step::expect_any(), Step::gate(), Step::send_line("ERR busy"), Step::expect_close()});
    // A shutdown that waited for the call (or for the worker in it, up to 6 s)
    // would return only once the call had timed out.
    Plugin p(settings(server.port(), "reconnect_sec=30\n"), false, {.api_timeout = std::chrono::seconds(4)});
    const std::string library = p.dir.library_path();
    ASSERT_TRUE(p.host.start(roster(), kConnection));
    ASSERT_TRUE(server.wait_for_lines("HELLO2 ", 1, 0));
    const size_t calls = p.host.calls(kSlotLog);
    bool waiting = false;
    p.host.shutdown_after([&] {
        server.open_gate();
        waiting = eventually([&] { return p.host.calls(kSlotLog) > calls; });
    });
    ASSERT_TRUE(waiting) << "the worker never called the host's log";
    EXPECT_EQ(p.host.timeouts(), 0u) << "shutdown waited for the worker's call into the host";
    EXPECT_TRUE(
        p.host.wait_for_log("refused the greeting: ERR busy")); // served once the main thread was free
    p.finish(&server);
    p.host.unload();
    EXPECT_TRUE(eventually([&] { return !library_mapped(library); }));
    EXPECT_TRUE(server.wait_for_peer_close(0));
}

} // namespace
} // namespace mvtest
