// A small timing and reporting harness that builds on both platforms (Google
// Benchmark has no Windows build here), for the figures that are compared
// between the Linux library and the Windows DLL.
#pragma once

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "falloff/stream_server.h"
#include "support/plugin_session.h"

namespace mvbench::portable {

using Clock = std::chrono::steady_clock;

struct Row {
    std::string item;     // "1 audio callback"
    std::string what;     // "512 users, 512 speakers: time / floor"
    std::string measured; // "1.21x"
    std::string target;   // "<= 1.5x", or "-"
    bool met = true;      // against the target (ignored without one)
};

struct Run {
    PluginSession &session;
    bool quick;
    std::vector<Row> rows;
};

// The figures of each part.
void audio_figures(Run &run);
void link_figures(Run &run);
void stop_figures(Run &run);

template <typename Pred>
bool wait_until(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto until = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

[[nodiscard]] inline double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The compiler must not drop work whose result only memory holds.
inline void clobber(void *p) {
    asm volatile("" : : "g"(p) : "memory");
}

// A falloff server whose threads are the bench's own.
class Server : public mvfalloff::StreamServer {
  public:
    Server();
};

// Connects the plugin (users in the roster, extra settings lines) to server
// and waits for the established link; false when it did not come.
bool connect(Run &run, Server &server, size_t users, const std::string &extra = "");
void disconnect(Run &run);

std::string fmt(const char *format, ...) __attribute__((format(gnu_printf, 1, 2)));

} // namespace mvbench::portable
