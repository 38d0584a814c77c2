// The audio callback through the library's export, against the floor of a
// bare scaling loop over the same buffer, timed in alternating rounds so that
// both see the same machine. The tables are built as in use: the server sends
// one update naming every speaker.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "portable/calls.h"
#include "portable/harness.h"
#include "support/workload.h"

namespace mvbench::portable {
namespace {

constexpr uint32_t kFrames = 480; // 10 ms at 48 kHz
constexpr size_t kSamples = size_t{kFrames} * 2;
// Refilled this often, which keeps denormals out of every loop alike.
constexpr size_t kRefillEvery = 64;
constexpr size_t kCallsPerRound = 2048;

// One kind of audio path: its settings and the update that builds its table.
// A new kind is one row of kCases.
struct Case {
    const char *what;              // prefix of the figure's name
    const char *settings;          // lines added to the settings file
    std::string (*line)(size_t n); // the update naming n speakers, with its LF
    double target;                 // time / floor at 512
    // Calls between refills of the callback's buffer. The radio takes the
    // bottom off what it plays, a tenth of this buffer's tone each time, so
    // call after call on the same buffer it would sink into subnormal
    // numbers, which no voice does: its buffer is refilled at every call, and
    // the copy counts against it.
    size_t refill_every = kRefillEvery;
};

// The server names speakers in another letter case than the host: lookups
// fold. (Variant 1 gives the last speaker in the roster a gain above 0.)
std::string update2_line(size_t n) {
    return "UPDATE2 " + update_payload(n, true, 1) + "\n";
}
std::string muffled_line(size_t n) {
    return "UPDATE3 " + muffled_payload(n, true) + "\n";
}
std::string radio_line(size_t n) {
    return "UPDATE3 " + radio_payload(n, true) + "\n";
}

// Smoothing is timed in steady state: no new values arrive, so no ramp runs.
constexpr Case kCases[] = {
    {"", "", &update2_line, 1.2},
    {"smoothing_ms=20: ", "smoothing_ms = 20\n", &update2_line, 1.5},
    {"every speaker muffled (UPDATE3): ", "", &muffled_line, 2.0},
    {"every speaker on the radio (UPDATE3): ", "", &radio_line, 2.5, 1},
};

struct Buffer {
    alignas(64) float samples[kSamples];
    alignas(64) float fresh[kSamples];
    Buffer() {
        for (size_t i = 0; i < kSamples; ++i)
            fresh[i] = std::sin(static_cast<float>(i) * 0.01f);
        std::memcpy(samples, fresh, sizeof samples);
    }
    void refill() { std::memcpy(samples, fresh, sizeof samples); }
};

// Nanoseconds per call of one round of body(buffer, call).
template <typename Body> double round_ns(Buffer &buf, Body body, size_t refill_every = kRefillEvery) {
    const auto t0 = Clock::now();
    for (size_t call = 0; call < kCallsPerRound; ++call) {
        body(buf.samples, call);
        clobber(buf.samples);
        if ((call + 1) % refill_every == 0) buf.refill();
    }
    return std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / kCallsPerRound;
}

struct Timing {
    double floor_ns, callback_ns;
};

Timing time_callback(Run &run, const Case &c, size_t n) {
    const auto fetched = run.session.plugin().onAudioSourceFetched;
    volatile float gain_source = 0.70710677f;
    const float gain = gain_source;
    Buffer floor_buf, callback_buf;
    auto floor = [gain](float *p, size_t) {
        for (size_t i = 0; i < kSamples; ++i)
            p[i] *= gain;
    };
    // Users in a scattered order, as many speakers' buffers would come.
    size_t k = 0;
    auto callback = [&](float *p, size_t) {
        k = (k + 5) % (n - 1); // 5 is prime to 7, 63 and 511: every speaker comes
        fetched(p, kFrames, 2, 48000, true, static_cast<mvhost::UserId>(k + 2));
    };
    const mvhost::AudioThreadMark as_audio;
    const int rounds = run.quick ? 100 : 600;
    std::vector<double> floor_ns, callback_ns;
    for (int r = 0; r < rounds; ++r) {
        floor_ns.push_back(round_ns(floor_buf, floor));
        callback_ns.push_back(round_ns(callback_buf, callback, c.refill_every));
    }
    return {median(floor_ns), median(callback_ns)};
}

// Sends the update and waits until the last speaker in the roster is heard.
bool load_table(Run &run, Server &server, const Case &c, size_t n) {
    const std::vector<std::string> lines{c.line(n)};
    server.stream(&lines, 1, 0);
    server.wait_stream();
    const auto fetched = run.session.plugin().onAudioSourceFetched;
    // A tone, and any sample: a radio voice starts two pairs of frames late
    // and gives exact silence for a steady input.
    return wait_until([&] {
        Buffer probe;
        const mvhost::AudioThreadMark as_audio;
        fetched(probe.samples, kFrames, 2, 48000, true, static_cast<mvhost::UserId>(n));
        return std::any_of(probe.samples, probe.samples + kSamples, [](float x) { return x != 0.0f; });
    });
}

} // namespace

void audio_figures(Run &run) {
    for (const Case &c : kCases) {
        double at8 = 0, at512 = 0;
        for (size_t n : {8, 64, 512}) {
            Server server;
            // n users (the local one and n - 1 speakers), and n speakers in the update.
            if (!connect(run, server, n, c.settings) || !load_table(run, server, c, n)) {
                run.rows.push_back({"1 audio callback", fmt("%s%zu users, %zu speakers", c.what, n, n),
                                    "no table", "-", false});
                disconnect(run);
                continue;
            }
            const Timing t = time_callback(run, c, n);
            disconnect(run);
            const double ratio = t.callback_ns / t.floor_ns;
            if (n == 8) at8 = t.callback_ns;
            if (n == 512) at512 = t.callback_ns;
            run.rows.push_back({"1 audio callback",
                                fmt("%s%zu users, %zu speakers: time / floor", c.what, n, n),
                                fmt("%.2fx", ratio), fmt("<= %.1fx", c.target), ratio <= c.target});
        }
        if (at8 > 0 && at512 > 0)
            run.rows.push_back({"1 audio callback", fmt("%sgrowth: time at 512 / time at 8", c.what),
                                fmt("%.2fx", at512 / at8), "<= 1.2x", at512 / at8 <= 1.2});
    }
}

} // namespace mvbench::portable
