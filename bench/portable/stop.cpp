// How long a disconnect takes to stop the worker in each of its states, and
// that the worker's thread is then gone (a lookup's own thread is left
// behind, by design).
#include <memory>

#include "net/fixtures.h"
#include "portable/calls.h"
#include "portable/harness.h"

namespace mvbench::portable {
namespace {

enum class State { backoff, connecting, handshake, established, lookup };
constexpr const char *kNames[] = {"backoff", "connecting", "handshake", "established",
                                  "lookup that never answers"};

struct Marks {
    uint64_t hellos, established;
    size_t lookups;
};

bool in_state(State s, const Server &server, const Marks &m) {
    const calls::Wait w = calls::worker_wait();
    switch (s) {
    case State::backoff:
        return w == calls::Wait::stop_only;
    case State::connecting:
        return w == calls::Wait::connect;
    case State::handshake:
        return server.hellos() > m.hellos && w == calls::Wait::readable;
    case State::established:
        return server.established() > m.established && w == calls::Wait::readable;
    case State::lookup:
        return calls::lookups_held() > m.lookups && w == calls::Wait::readable;
    }
    return false;
}

// Stop times in milliseconds, or empty when the worker never reached the state.
std::vector<double> stop_times(Run &run, State s, int reps) {
    Server server;
    std::unique_ptr<mvnet::BlackholeListener> blackhole;
    SessionSettings settings;
    settings.port = server.port();
    settings.reconnect_sec = 30; // a stop that waited for the backoff would show
    const mvnet::RefusedPort refused;
    if (s == State::backoff) settings.port = refused.port();
    if (s == State::connecting) {
        blackhole = std::make_unique<mvnet::BlackholeListener>(200);
        if (!blackhole->ready()) return {};
        settings.port = blackhole->port();
    }
    if (s == State::handshake) server.set_mode(mvfalloff::StreamServer::Mode::mute);
    if (s == State::lookup) {
        settings.host = calls::hanging_host();
        calls::hold_lookups();
    }
    run.session.write_settings(settings);
    run.session.start(9);
    std::vector<double> ms;
    for (int rep = 0; rep < reps; ++rep) {
        calls::forget_worker();
        const Marks marks{server.hellos(), server.established(), calls::lookups_held()};
        run.session.synchronise();
        // The state must hold twice, so that a passing check is not taken for it.
        const bool reached = wait_until([&] {
            if (!in_state(s, server, marks)) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            return in_state(s, server, marks);
        });
        if (!reached) {
            ms.clear();
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // well inside the wait
        const uint64_t worker = calls::worker_thread();
        const auto t0 = Clock::now();
        run.session.disconnect();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (worker == 0 ||
            !wait_until([worker] { return calls::thread_gone(worker); }, std::chrono::seconds(2)))
            ms.back() =
                std::max(ms.back(), std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    run.session.stop();
    calls::release_lookups(); // the lookups left behind end now
    return ms;
}

} // namespace

void stop_figures(Run &run) {
    const int reps = run.quick ? 3 : 10;
    for (int s = 0; s < 5; ++s) {
        std::vector<double> ms = stop_times(run, static_cast<State>(s), reps);
        if (ms.empty()) {
            run.rows.push_back({"5 stop latency", kNames[s], "state not reached", "< 100 ms", false});
            continue;
        }
        std::sort(ms.begin(), ms.end());
        run.rows.push_back({"5 stop latency", fmt("%s: median, max of %zu stops", kNames[s], ms.size()),
                            fmt("%.2f ms, %.2f ms", ms[ms.size() / 2], ms.back()), "< 100 ms",
                            ms.back() < 100});
    }
}

} // namespace mvbench::portable
