// In-process benchmarks of the plugin's hot paths, linked against the core
// library: the audio callback against the floor of a bare scaling loop, Apply
// update, and the line reader of the link; each beside the straightforward
// reference of bench/reference.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "audio/audio_callback.h"
#include "audio/spatial.h"
#include "connection/alias_map.h"
#include "falloff/apply_update.h"
#include "falloff/line_reader.h"
#include "falloff/speaker_table.h"
#include "net/fixtures.h"
#include "platform/platform.h"
#include "reference/reference.h"
#include "state/state.h"
#include "support/figures.h"
#include "support/line_feeder.h"
#include "support/probes.h"
#include "support/workload.h"

namespace {

using namespace mvbench;

constexpr uint32_t kFrames = 480; // 10 ms at 48 kHz
constexpr uint16_t kChannels = 2;
constexpr size_t kSamples = size_t{kFrames} * kChannels;
// Every speaker's multipliers are at least 0.3, so 64 calls take a sample of 1
// down to about 1e-34: still a normal float. Refilling the buffer that often
// keeps denormals (which are far slower) out of every loop alike.
constexpr size_t kRefillEvery = 64;

struct AudioBuffer {
    alignas(64) float samples[kSamples];
    alignas(64) float fresh[kSamples];
    size_t calls = 0;
    AudioBuffer() {
        for (size_t i = 0; i < kSamples; ++i)
            fresh[i] = std::sin(static_cast<float>(i) * 0.01f);
        std::memcpy(samples, fresh, sizeof samples);
    }
    void maybe_refill() {
        if (++calls % kRefillEvery == 0) std::memcpy(samples, fresh, sizeof samples);
    }
};

// ---- the floor: a bare in-place scaling loop over the same buffer ------------
void BM_Floor(benchmark::State &state) {
    AudioBuffer buf;
    float gain = 0.70710677f;
    benchmark::DoNotOptimize(gain);
    for (auto _ : state) {
        float *p = buf.samples;
        benchmark::DoNotOptimize(p);
        for (size_t i = 0; i < kSamples; ++i)
            p[i] *= gain;
        benchmark::ClobberMemory();
        buf.maybe_refill();
    }
}
BENCHMARK(BM_Floor);

// ---- the plugin's audio callback with n users in the map and n speakers ---------
// The live tables, whether the state holds them as plain or atomic pointers.
template <typename Live> auto live_table(Live &live) {
    if constexpr (requires { live.load(); }) {
        return live.load();
    } else {
        return live;
    }
}

template <typename Live, typename Table> void publish(Live &live, Table *table) {
    mv::platform::LockGuard guard(mv::g_state.lock);
    if constexpr (requires { live.store(table); }) {
        live.store(table);
    } else {
        live = table;
    }
}

// One kind of audio path: the settings it runs with and the update that
// builds its speaker table. A new kind is one row of kCallbackCases.
struct CallbackCase {
    const char *suffix;             // of the benchmark's name: "" for the plain path
    const char *what;               // for the figures
    void (*configure)();            // settings beyond the defaults, or null
    mv::UpdateKind kind;            // of the update that builds the table
    std::string (*payload)(size_t); // that update's payload for n speakers
    double target;                  // time / floor at 512
    // The radio takes the bottom off what it plays, a tenth of the buffer's
    // tone each time: call after call on one buffer it would sink into
    // subnormal numbers, which no voice does. Its buffer is refilled at every
    // call, and the copy counts against it.
    bool refill_every_call = false;
};

// The server names speakers in another letter case than the host: lookups fold.
std::string upper_payload(size_t n) {
    return update_payload(n, true);
}
std::string upper_muffled_payload(size_t n) {
    return muffled_payload(n, true);
}
std::string upper_radio_payload(size_t n) {
    return radio_payload(n, true);
}
void smoothing_on() {
    mv::g_state.settings.smoothing_ms = 20;
    mv::g_state.audio_smoothing_ms.store(20);
}

// Smoothing is timed in steady state: no new values arrive, so no ramp runs.
constexpr CallbackCase kCallbackCases[] = {
    {"", "", nullptr, mv::UpdateKind::update2, &upper_payload, 1.2},
    {"Smoothing", "smoothing_ms=20: ", &smoothing_on, mv::UpdateKind::update2, &upper_payload, 1.5},
    {"Muffled", "every speaker muffled (UPDATE3): ", nullptr, mv::UpdateKind::update3, &upper_muffled_payload,
     2.0},
    {"Radio", "every speaker on the radio (UPDATE3): ", nullptr, mv::UpdateKind::update3,
     &upper_radio_payload, 2.5, true},
};

// Builds both tables as their writers do (into the spare, then published).
void setup_plugin_tables(size_t n, const CallbackCase &c = kCallbackCases[0]) {
    mv::g_state.settings = mv::PluginSettings{};
    mv::g_state.settings.enabled = true;
    mv::g_state.settings.debug_log = false;
    mv::g_state.audio_smoothing_ms.store(0);
    if (c.configure != nullptr) c.configure();
    mv::g_state.audio_enabled.store(true);
    mv::g_state.audio_trace.store(false);
    mv::g_state.initialised.store(true);
    mv::AliasMap *map = mv::alias_map_spare();
    mv::alias_map_clear(*map);
    for (size_t i = 0; i < n; ++i)
        mv::alias_map_add(*map, static_cast<uint32_t>(i + 1), speaker_alias(i).c_str());
    publish(mv::g_state.alias_map, map);
    mv::SpeakerTable *table = mv::speaker_table_spare();
    mv::build_speaker_table(*table, c.kind, c.payload(n));
    publish(mv::g_state.speakers, table);
}

// Users are visited in a scattered order, as many speakers' buffers would come.
uint32_t next_user(size_t &k, size_t n) {
    k = (k + 7) % n;
    return static_cast<uint32_t>(k + 1);
}

// Registered for every case in main().
void BM_AudioCallback(benchmark::State &state, const CallbackCase *c) {
    const size_t n = static_cast<size_t>(state.range(0));
    setup_plugin_tables(n, *c);
    AudioBuffer buf;
    size_t k = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            mv::on_audio_source_fetched(buf.samples, kFrames, kChannels, 48000, true, next_user(k, n)));
        benchmark::ClobberMemory();
        if (c->refill_every_call)
            std::memcpy(buf.samples, buf.fresh, sizeof buf.samples);
        else
            buf.maybe_refill();
    }
}

void setup_reference_tables(reference::State &ref, size_t n) {
    ref.alias_count = 0;
    for (size_t i = 0; i < n; ++i) {
        mv::AliasEntry &e = ref.aliases[ref.alias_count++];
        e.user_id = static_cast<uint32_t>(i + 1);
        std::snprintf(e.alias, sizeof e.alias, "%s", speaker_alias(i).c_str());
    }
    reference::apply_update(ref, mv::UpdateKind::update2, update_payload(n, true).c_str(), 1);
}

reference::State g_reference;

// Where the callback's time goes: the sample loop alone, the lock alone, the
// two lookups alone.
void BM_PartSampleLoop(benchmark::State &state) {
    AudioBuffer buf;
    const mv::Multipliers m = mv::pan_multipliers(0.9f, 0.3f);
    for (auto _ : state) {
        mv::apply_gain_pan(buf.samples, kFrames, kChannels, 0.9f, m);
        benchmark::ClobberMemory();
        buf.maybe_refill();
    }
}
BENCHMARK(BM_PartSampleLoop);

void BM_PartLockPair(benchmark::State &state) {
    for (auto _ : state) {
        mv::platform::LockGuard guard(mv::g_state.lock);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_PartLockPair);

void BM_PartLookups(benchmark::State &state) {
    const size_t n = 512;
    setup_plugin_tables(n);
    size_t k = 0;
    for (auto _ : state) {
        const mv::AliasEntry *e = mv::alias_map_find(*live_table(mv::g_state.alias_map), next_user(k, n));
        const mv::SpeakerState *row = mv::speaker_table_find(
            *live_table(mv::g_state.speakers), std::string_view(e->alias, e->alias_len), e->alias_hash);
        benchmark::DoNotOptimize(row);
    }
}
BENCHMARK(BM_PartLookups);

void BM_AudioCallbackReference(benchmark::State &state) {
    const size_t n = static_cast<size_t>(state.range(0));
    setup_reference_tables(g_reference, n);
    AudioBuffer buf;
    size_t k = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            reference::audio_callback(g_reference, buf.samples, kFrames, kChannels, next_user(k, n)));
        benchmark::ClobberMemory();
        buf.maybe_refill();
    }
}
BENCHMARK(BM_AudioCallbackReference)->Arg(8)->Arg(64)->Arg(512);

// ---- Apply update ---------------------------------------------------------------------
// Two payloads alternate, so every update really changes the table.
struct Payloads {
    std::string a, b;
    explicit Payloads(size_t n) : a(update_payload(n, false, 0)), b(update_payload(n, false, 1)) {}
    const std::string &operator[](size_t i) const { return (i & 1) ? b : a; }
};

void BM_ApplyUpdate(benchmark::State &state) {
    const size_t n = static_cast<size_t>(state.range(0));
    setup_plugin_tables(n);
    const Payloads payloads(n);
    size_t i = 0;
    for (; i < 16; ++i) // steady state: whatever is allocated once, is allocated here
        mv::apply_update(mv::UpdateKind::update2, payloads[i], static_cast<uint32_t>(i + 1));
    const AllocCounts before = alloc_counts();
    for (auto _ : state) {
        mv::apply_update(mv::UpdateKind::update2, payloads[i], static_cast<uint32_t>(i + 1));
        ++i;
    }
    const AllocCounts after = alloc_counts();
    if (live_table(mv::g_state.speakers)->count != n)
        state.SkipWithError("the update did not name every speaker");
    state.counters["entries"] = static_cast<double>(n);
    state.counters["allocs_per_update"] =
        static_cast<double>(after.calls - before.calls) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_ApplyUpdate)->Arg(8)->Arg(64)->Arg(512);

void BM_ApplyUpdateReference(benchmark::State &state) {
    const size_t n = static_cast<size_t>(state.range(0));
    const Payloads payloads(n);
    size_t i = 0;
    for (; i < 16; ++i)
        reference::apply_update(g_reference, mv::UpdateKind::update2, payloads[i].c_str(),
                                static_cast<uint32_t>(i + 1));
    const AllocCounts before = alloc_counts();
    for (auto _ : state) {
        reference::apply_update(g_reference, mv::UpdateKind::update2, payloads[i].c_str(),
                                static_cast<uint32_t>(i + 1));
        ++i;
    }
    const AllocCounts after = alloc_counts();
    if (g_reference.speaker_count != n) state.SkipWithError("the update did not name every speaker");
    state.counters["entries"] = static_cast<double>(n);
    state.counters["allocs_per_update"] =
        static_cast<double>(after.calls - before.calls) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_ApplyUpdateReference)->Arg(8)->Arg(64)->Arg(512);

// ---- the link's line reader over a loopback TCP connection ----------------------------------
class SocketSource final : public mv::ByteSource {
  public:
    explicit SocketSource(mv::platform::Socket s) : socket_(s) {}
    mv::platform::IoResult read(char *buf, size_t cap) noexcept override {
        return mv::platform::recv_bytes(socket_, buf, cap, nullptr, 5000);
    }

  private:
    mv::platform::Socket socket_;
};

void mark_bench_thread() {
    set_thread_role(Role::bench);
}

mv::LineReader g_reader;

void BM_LineReader(benchmark::State &state) {
    const size_t length = static_cast<size_t>(state.range(0));
    mvnet::LoopbackPair pair;
    if (!pair.ok()) {
        state.SkipWithError("no loopback connection");
        return;
    }
    LineFeeder feeder(pair.writer, update_line_of_length(length), &mark_bench_thread);
    SocketSource source(pair.reader);
    g_reader.reset();
    const SysCounts before = sys_counts();
    for (auto _ : state) {
        mv::LineResult r = g_reader.next(source);
        // A line of 8191 characters ends by itself; its LF then reads as an empty line.
        if (r.status == mv::LineStatus::line && r.length == 0) r = g_reader.next(source);
        if (r.status != mv::LineStatus::line || r.length != length) {
            state.SkipWithError("short line");
            break;
        }
    }
    const SysCounts used = sys_counts() - before;
    state.counters["syscalls_per_line"] =
        static_cast<double>(used.link_calls()) / static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (length + 1)));
}
BENCHMARK(BM_LineReader)->Arg(100)->Arg(1000)->Arg(8191);

char g_line[8192];

void BM_LineReaderOneByte(benchmark::State &state) {
    const size_t length = static_cast<size_t>(state.range(0));
    mvnet::LoopbackPair pair;
    if (!pair.ok()) {
        state.SkipWithError("no loopback connection");
        return;
    }
    LineFeeder feeder(pair.writer, update_line_of_length(length), &mark_bench_thread);
    const int fd = static_cast<int>(pair.reader);
    const SysCounts before = sys_counts();
    for (auto _ : state) {
        long got = reference::read_line_one_byte(fd, g_line, sizeof g_line);
        if (got == 0) got = reference::read_line_one_byte(fd, g_line, sizeof g_line);
        if (got != static_cast<long>(length)) {
            state.SkipWithError("short line");
            break;
        }
    }
    const SysCounts used = sys_counts() - before;
    state.counters["syscalls_per_line"] =
        static_cast<double>(used.link_calls()) / static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (length + 1)));
}
BENCHMARK(BM_LineReaderOneByte)->Arg(100)->Arg(1000)->Arg(8191);

// ---- the figures -------------------------------------------------------------------------
double cpu(const CollectingReporter &r, const std::string &name) {
    const RunResult *res = r.find(name);
    return res != nullptr ? res->median_cpu_ns() : NAN;
}

double counter(const CollectingReporter &r, const std::string &name, const std::string &c) {
    const RunResult *res = r.find(name);
    return res != nullptr ? res->median(c) : NAN;
}

void audio_figures(const CollectingReporter &r) {
    const double floor = cpu(r, "BM_Floor");
    add_figure(
        {"1 audio callback", "floor: bare scaling loop, 960 floats", fmt_ns(floor), "-", "-", Verdict::info});
    for (const CallbackCase &c : kCallbackCases) {
        const std::string name = std::string("BM_AudioCallback") + c.suffix + "/";
        if (r.find(name + "512") == nullptr) continue;
        // The reference has no variants: it stands beside the plain path only.
        const bool plain = c.suffix[0] == '\0';
        for (int n : {8, 64, 512}) {
            const double t = cpu(r, name + std::to_string(n));
            const double ref = cpu(r, "BM_AudioCallbackReference/" + std::to_string(n));
            const bool met = t / floor <= c.target;
            add_figure({"1 audio callback",
                        fmt("%s%d users, %d speakers: time, and time / floor", c.what, n, n),
                        fmt("%s, %.2fx", fmt_ns(t).c_str(), t / floor), fmt("<= %.1fx", c.target),
                        plain ? fmt("%s, %.2fx", fmt_ns(ref).c_str(), ref / floor) : "-",
                        n == 512 ? (met ? Verdict::met : Verdict::not_met) : Verdict::info});
        }
        const double growth = cpu(r, name + "512") / cpu(r, name + "8");
        const double ref_growth =
            cpu(r, "BM_AudioCallbackReference/512") / cpu(r, "BM_AudioCallbackReference/8");
        add_figure({"1 audio callback",
                    fmt("%sgrowth with users and speakers: time at 512 / time at 8", c.what),
                    fmt("%.2fx", growth), "flat (<= 1.2x)", plain ? fmt("%.2fx", ref_growth) : "-",
                    growth <= 1.2 ? Verdict::met : Verdict::not_met});
    }
}

void update_figures(const CollectingReporter &r) {
    double per_entry[3] = {};
    double ref_per_entry[3] = {};
    const int sizes[3] = {8, 64, 512};
    for (int i = 0; i < 3; ++i) {
        const int n = sizes[i];
        const double t = cpu(r, "BM_ApplyUpdate/" + std::to_string(n));
        const double ref = cpu(r, "BM_ApplyUpdateReference/" + std::to_string(n));
        per_entry[i] = t / n;
        ref_per_entry[i] = ref / n;
        add_figure({"3 apply update", fmt("%d speakers: per update, per entry", n),
                    fmt("%s, %s", fmt_ns(t).c_str(), fmt_ns(t / n).c_str()), "linear",
                    fmt("%s, %s", fmt_ns(ref).c_str(), fmt_ns(ref / n).c_str()), Verdict::info});
    }
    const double growth = per_entry[2] / per_entry[1];
    add_figure({"3 apply update", "per-entry time at 512 / at 64", fmt("%.2fx", growth), "<= 1.25x (linear)",
                fmt("%.2fx", ref_per_entry[2] / ref_per_entry[1]),
                growth <= 1.25 ? Verdict::met : Verdict::not_met});
    double worst_allocs = 0;
    for (int n : sizes)
        worst_allocs =
            std::max(worst_allocs, counter(r, "BM_ApplyUpdate/" + std::to_string(n), "allocs_per_update"));
    add_figure({"3 apply update", "heap allocations per update, steady state (8, 64, 512)",
                fmt("%.3g", worst_allocs), "0",
                fmt("%.3g", counter(r, "BM_ApplyUpdateReference/512", "allocs_per_update")),
                worst_allocs == 0 ? Verdict::met : Verdict::not_met});
    add_figure({"2 lock hold", "reference: parse under the lock, 512 speakers (whole update held)",
                fmt_ns(cpu(r, "BM_ApplyUpdateReference/512")), "< 20 us", "-", Verdict::info});
}

void reader_figures(const CollectingReporter &r) {
    for (int len : {100, 1000, 8191}) {
        const double calls = counter(r, "BM_LineReader/" + std::to_string(len), "syscalls_per_line");
        const double ref = counter(r, "BM_LineReaderOneByte/" + std::to_string(len), "syscalls_per_line");
        const double t = cpu(r, "BM_LineReader/" + std::to_string(len));
        const double tref = cpu(r, "BM_LineReaderOneByte/" + std::to_string(len));
        add_figure(
            {"4 link (reader alone, burst)", fmt("%d-byte lines: system calls per line, CPU per line", len),
             fmt("%.3f, %s", calls, fmt_ns(t).c_str()), "<= 2", fmt("%.0f, %s", ref, fmt_ns(tref).c_str()),
             calls <= 2 ? Verdict::met : Verdict::not_met});
    }
}

} // namespace

int main(int argc, char **argv) {
    for (const CallbackCase &c : kCallbackCases)
        benchmark::RegisterBenchmark((std::string("BM_AudioCallback") + c.suffix).c_str(), BM_AudioCallback,
                                     &c)
            ->Arg(8)
            ->Arg(64)
            ->Arg(512);
    CollectingReporter reporter;
    if (!run_benchmarks(argc, argv, reporter)) return 1;
    if (reporter.find("BM_Floor") != nullptr) audio_figures(reporter);
    if (reporter.find("BM_ApplyUpdate/512") != nullptr) update_figures(reporter);
    if (reporter.find("BM_LineReader/100") != nullptr) reader_figures(reporter);
    print_figures("In-process figures (bench_core)");
    return 0;
}
