// End-to-end benchmarks of the built plugin library, loaded as the host loads
// it and driven by a host of our own and a local falloff server: the holds of
// the state lock under load, the link's system calls per line and its idle
// cost, how fast a disconnect stops the worker, and memory over a long session.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <link.h>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "falloff/stream_server.h"
#include "net/fixtures.h"
#include "net/lookup_hold.h"
#include "support/figures.h"
#include "support/plugin_session.h"
#include "support/probes.h"
#include "support/workload.h"

namespace {

using namespace mvbench;
using Clock = std::chrono::steady_clock;
using mvfalloff::StreamServer;

PluginSession *g_session = nullptr;

const mvhost::PluginExports &plugin() {
    return g_session->plugin();
}

void mark_bench_thread() {
    set_thread_role(Role::bench);
}

// The server's threads are the bench's own: the probes do not count them.
struct BenchServer : StreamServer {
    BenchServer() : StreamServer(&mark_bench_thread) {}
};

template <typename Pred>
bool wait_until(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto until = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// The worker waits on its socket (established link or handshake reply).
bool worker_waits_for_data() {
    const SubjectWait w = subject_wait();
    return w.in_poll && w.nfds == 2 && (w.events & POLLIN);
}

// Durations in 100 ns buckets up to 100 ms (and one bucket beyond), so that tens
// of millions of audio calls need no storage of their own.
class Histogram {
  public:
    void add(uint64_t ns) {
        ++buckets_[std::min<uint64_t>(ns / kBucketNs, kBuckets - 1)];
        max_ = std::max(max_, ns);
        ++count_;
    }
    [[nodiscard]] uint64_t count() const { return count_; }
    [[nodiscard]] double max() const { return static_cast<double>(max_); }
    // Upper edge of the bucket that holds the p-th quantile.
    [[nodiscard]] double quantile(double p) const {
        const auto want = static_cast<uint64_t>(std::ceil(p * static_cast<double>(count_)));
        uint64_t seen = 0;
        for (size_t i = 0; i < kBuckets; ++i) {
            seen += buckets_[i];
            if (seen >= want) return std::min(static_cast<double>((i + 1) * kBucketNs), max());
        }
        return max();
    }

  private:
    static constexpr uint64_t kBucketNs = 100;
    static constexpr size_t kBuckets = 1'000'001;
    std::vector<uint64_t> buckets_ = std::vector<uint64_t>(kBuckets);
    uint64_t max_ = 0;
    uint64_t count_ = 0;
};

// CPU time that the hypervisor gave to others (steal), all CPUs, in seconds.
double steal_seconds() {
    std::ifstream stat("/proc/stat");
    std::string cpu;
    uint64_t v[8] = {};
    stat >> cpu;
    for (uint64_t &x : v)
        stat >> x;
    return static_cast<double>(v[7]) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double percentile(std::vector<uint32_t> v, double p) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const size_t i =
        std::min(v.size() - 1, static_cast<size_t>(std::ceil(p * static_cast<double>(v.size()))) - 1);
    return v[i];
}

// Connects the plugin to server and waits for the established link.
bool connect_plugin(BenchServer &server, size_t users, int reconnect_sec = 1, bool debug_log = false) {
    SessionSettings settings;
    settings.port = server.port();
    settings.reconnect_sec = reconnect_sec;
    settings.debug_log = debug_log;
    g_session->write_settings(settings);
    g_session->start(users);
    const uint64_t before = server.established();
    forget_subject();
    g_session->synchronise();
    return wait_until([&] { return server.established() > before; }) && wait_until(worker_waits_for_data);
}

void disconnect_plugin() {
    g_session->disconnect();
    g_session->stop();
}

// ---- 2: holds of the state lock -------------------------------------------------------
// The worker applies 512-speaker updates back to back, the host thread refreshes
// the map of 512 users back to back, and an audio thread runs callbacks for
// 512 speakers; every hold of the state lock by the first two is timed.
void BM_LockHold(benchmark::State &state) {
    set_thread_role(Role::host);
    const double duration = quick_mode() ? 3.0 : 20.0;
    BenchServer server;
    if (!connect_plugin(server, 512)) {
        state.SkipWithError("no link");
        return;
    }
    // The state lock is the first mutex that the audio callback takes.
    std::vector<float> pcm(960, 0.5f);
    set_thread_role(Role::audio);
    {
        const mvhost::AudioThreadMark as_audio;
        lock_probe_watch_next();
        plugin().onAudioSourceFetched(pcm.data(), 480, 2, 48000, true, 2);
        lock_probe_cancel_watch();
    }
    set_thread_role(Role::host);
    // An audio callback that takes no lock at all cannot wait for a holder.
    const bool audio_takes_lock = lock_probe_watching();

    std::vector<std::string> lines;
    for (size_t v = 0; v < 4; ++v)
        lines.push_back("UPDATE2 " + update_payload(512, false, v) + "\n");

    Histogram audio_ns;
    double steal = 0;
    std::atomic<bool> stop{false};
    uint64_t refreshes = 0;
    const uint64_t sent_before = server.bytes_sent();
    for (auto _ : state) {
        lock_probe_reset();
        steal = steal_seconds();
        lock_probe_arm(true);
        server.stream(&lines, 0, 0);
        std::thread audio([&] {
            set_thread_role(Role::audio);
            const mvhost::AudioThreadMark as_audio_thread;
            std::vector<float> buf(960, 0.5f);
            uint32_t user = 2;
            while (!stop.load(std::memory_order_relaxed)) {
                const auto t0 = Clock::now();
                plugin().onAudioSourceFetched(buf.data(), 480, 2, 48000, true, user);
                audio_ns.add(static_cast<uint64_t>(
                    std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count()));
                user = user == 512 ? 2 : user + 1;
                if (audio_ns.count() % 64 == 0) std::fill(buf.begin(), buf.end(), 0.5f);
            }
        });
        const auto start = Clock::now();
        while (seconds_since(start) < duration) {
            plugin().onUserAdded(kConnection, 2);
            ++refreshes;
        }
        stop.store(true);
        audio.join();
        lock_probe_arm(false);
        steal = steal_seconds() - steal;
        server.cancel_stream();
    }
    const double updates =
        static_cast<double>(server.bytes_sent() - sent_before) / static_cast<double>(lines[0].size());
    disconnect_plugin();

    std::vector<uint32_t> all, unswitched, worker, host;
    size_t over = 0, over_unswitched = 0;
    for (const HoldSample &s : lock_probe_holds()) {
        all.push_back(s.ns);
        if (!s.switched) unswitched.push_back(s.ns);
        (s.role == Role::subject ? worker : host).push_back(s.ns);
        if (s.ns >= 20'000) {
            ++over;
            if (!s.switched) ++over_unswitched;
        }
    }
    const AudioLockCounts audio_locks = lock_probe_audio();
    state.counters["audio_takes_lock"] = audio_takes_lock ? 1 : 0;
    state.counters["holds"] = static_cast<double>(all.size());
    state.counters["hold_max_ns"] = percentile(all, 1.0);
    state.counters["hold_p999_ns"] = percentile(all, 0.999);
    state.counters["hold_p9999_ns"] = percentile(all, 0.9999);
    state.counters["holds_over_20us"] = static_cast<double>(over);
    state.counters["holds_over_20us_unswitched"] = static_cast<double>(over_unswitched);
    state.counters["steal_s"] = steal;
    state.counters["seconds"] = duration;
    state.counters["hold_max_unswitched_ns"] = percentile(unswitched, 1.0);
    state.counters["hold_switched"] = static_cast<double>(all.size() - unswitched.size());
    state.counters["worker_hold_max_ns"] = percentile(worker, 1.0);
    state.counters["host_hold_max_ns"] = percentile(host, 1.0);
    state.counters["updates_per_s"] = updates / duration;
    state.counters["refreshes_per_s"] = static_cast<double>(refreshes) / duration;
    state.counters["audio_calls"] = static_cast<double>(audio_ns.count());
    state.counters["audio_p999_ns"] = audio_ns.quantile(0.999);
    state.counters["audio_max_ns"] = audio_ns.max();
    state.counters["audio_contended"] = static_cast<double>(audio_locks.contended);
}
BENCHMARK(BM_LockHold)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- 4: system calls per update line, and the idle link ------------------------------------------
// Args: line length, and 0 for lines back to back or the pause in microseconds
// between lines.
void BM_LinkLines(benchmark::State &state) {
    set_thread_role(Role::host);
    const size_t length = static_cast<size_t>(state.range(0));
    const uint32_t pace_us = static_cast<uint32_t>(state.range(1));
    const bool quick = quick_mode();
    size_t count = pace_us > 0 ? (quick ? 200 : 1000) : (length < 1000 ? 20000 : length < 8000 ? 5000 : 2000);
    if (quick && pace_us == 0) count /= 4;

    BenchServer server;
    if (!connect_plugin(server, 9)) {
        state.SkipWithError("no link");
        return;
    }
    std::vector<std::string> lines;
    for (size_t v = 0; v < 4; ++v)
        lines.push_back(update_line_of_length(length, v) + "\n");

    SysCounts used{};
    int64_t cpu = 0;
    uint64_t allocs = 0;
    for (auto _ : state) {
        const SysCounts before = sys_counts();
        const int64_t cpu_before = subject_cpu_ns();
        const uint64_t allocs_before = alloc_counts().calls;
        const uint64_t sent_before = server.bytes_sent();
        server.stream(&lines, count / lines.size(), pace_us);
        server.wait_stream();
        const uint64_t sent = server.bytes_sent() - sent_before;
        const bool drained =
            wait_until([&] { return sys_counts().recv_bytes - before.recv_bytes >= sent; }) &&
            wait_until(worker_waits_for_data);
        used = sys_counts() - before;
        cpu = subject_cpu_ns() - cpu_before;
        allocs = alloc_counts().calls - allocs_before;
        if (!drained) state.SkipWithError("the plugin did not read everything");
    }
    disconnect_plugin();
    const double n = static_cast<double>(count);
    state.counters["lines"] = n;
    state.counters["syscalls_per_line"] = static_cast<double>(used.link_calls()) / n;
    state.counters["recv_per_line"] = static_cast<double>(used.recv) / n;
    state.counters["poll_per_line"] = static_cast<double>(used.poll) / n;
    state.counters["worker_cpu_ns_per_line"] = static_cast<double>(cpu) / n;
    state.counters["allocs"] = static_cast<double>(allocs);
}
BENCHMARK(BM_LinkLines)
    ->ArgsProduct({{100, 1000, 8191}, {0, 1000}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_LinkIdle(benchmark::State &state) {
    set_thread_role(Role::host);
    const double duration = quick_mode() ? 10.0 : 60.0;
    BenchServer server;
    if (!connect_plugin(server, 9)) {
        state.SkipWithError("no link");
        return;
    }
    SysCounts used{};
    int64_t cpu = 0;
    uint64_t plugin_lines = 0;
    for (auto _ : state) {
        const SysCounts before = sys_counts();
        const int64_t cpu_before = subject_cpu_ns();
        const uint64_t lines_before = server.lines_from_plugin();
        std::this_thread::sleep_for(std::chrono::duration<double>(duration));
        used = sys_counts() - before;
        cpu = subject_cpu_ns() - cpu_before;
        plugin_lines = server.lines_from_plugin() - lines_before;
    }
    disconnect_plugin();
    state.counters["seconds"] = duration;
    state.counters["worker_cpu_us"] = static_cast<double>(cpu) / 1e3;
    state.counters["syscalls"] = static_cast<double>(used.link_calls());
    state.counters["pings_sent"] = static_cast<double>(plugin_lines);
}
BENCHMARK(BM_LinkIdle)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- 5: stop latency ----------------------------------------------------------------------------
enum class WorkerState { backoff, connecting, handshake, established, lookup };
constexpr const char *kStateNames[] = {"backoff", "connecting", "handshake", "established",
                                       "lookup that never answers"};
constexpr int kStates = 5;

// Whether the worker is now waiting in state `which`.
bool worker_in(WorkerState which, const BenchServer &server, uint64_t hellos, uint64_t established,
               size_t lookups) {
    const SubjectWait w = subject_wait();
    switch (which) {
    case WorkerState::backoff:
        return w.in_poll && w.nfds == 1;
    case WorkerState::connecting:
        return w.in_poll && w.nfds == 2 && (w.events & POLLOUT) && w.connected;
    case WorkerState::handshake:
        return server.hellos() > hellos && worker_waits_for_data();
    case WorkerState::established:
        return server.established() > established && worker_waits_for_data();
    case WorkerState::lookup: // the worker waits for its lookup thread and its stop event
        return mvnet::lookups_held() > lookups && worker_waits_for_data();
    }
    return false;
}

void BM_StopLatency(benchmark::State &state) {
    set_thread_role(Role::host);
    const auto which = static_cast<WorkerState>(state.range(0));
    const int reps = quick_mode() ? 3 : 10;
    BenchServer server;
    std::unique_ptr<mvnet::BlackholeListener> blackhole;
    SessionSettings settings;
    settings.port = server.port();
    settings.reconnect_sec = 30; // a stop that waited for the backoff would show
    const mvnet::RefusedPort refused;
    if (which == WorkerState::backoff) settings.port = refused.port();
    if (which == WorkerState::connecting) {
        blackhole = std::make_unique<mvnet::BlackholeListener>(200);
        settings.port = blackhole->port();
    }
    if (which == WorkerState::handshake) server.set_mode(StreamServer::Mode::mute);
    if (which == WorkerState::lookup) {
        settings.host = mvnet::kHangingName;
        mvnet::hold_lookups(true);
    }
    g_session->write_settings(settings);
    g_session->start(9);

    std::vector<double> latencies_ms;
    bool reached = blackhole == nullptr || blackhole->ready();
    for (auto _ : state) {
        for (int rep = 0; rep < reps && reached; ++rep) {
            forget_subject();
            const uint64_t hellos = server.hellos();
            const uint64_t established = server.established();
            const size_t lookups = mvnet::lookups_held();
            g_session->synchronise();
            reached = wait_until([&] { return worker_in(which, server, hellos, established, lookups); });
            std::this_thread::sleep_for(std::chrono::milliseconds(20)); // well inside the wait
            const int tid = subject_tid();
            const auto t0 = Clock::now();
            g_session->disconnect();
            latencies_ms.push_back(seconds_since(t0) * 1e3);
            // The worker's thread must be gone, not merely given up on (a
            // lookup's own thread is left behind, by design).
            const std::string task = "/proc/self/task/" + std::to_string(tid);
            struct stat st {};
            if (tid != 0 &&
                !wait_until([&] { return stat(task.c_str(), &st) != 0; }, std::chrono::seconds(2)))
                latencies_ms.back() = std::max(latencies_ms.back(), seconds_since(t0) * 1e3);
        }
    }
    g_session->stop();
    mvnet::hold_lookups(false); // the lookups left behind end now
    if (!reached) {
        state.SkipWithError((std::string("worker never reached ") + kStateNames[state.range(0)]).c_str());
        return;
    }
    std::sort(latencies_ms.begin(), latencies_ms.end());
    state.counters["stops"] = static_cast<double>(latencies_ms.size());
    state.counters["stop_median_ms"] = latencies_ms[latencies_ms.size() / 2];
    state.counters["stop_max_ms"] = latencies_ms.back();
}
BENCHMARK(BM_StopLatency)
    ->DenseRange(0, kStates - 1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// ---- 6: memory ----------------------------------------------------------------------------------
struct Segments {
    const char *path;
    size_t text = 0, rodata = 0, data = 0;
};

int add_segments(dl_phdr_info *info, size_t, void *arg) {
    auto *s = static_cast<Segments *>(arg);
    if (info->dlpi_name == nullptr || std::strcmp(info->dlpi_name, s->path) != 0) return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD) continue;
        if (ph.p_flags & PF_X) {
            s->text += ph.p_memsz;
        } else if (ph.p_flags & PF_W) {
            s->data += ph.p_memsz;
        } else {
            s->rodata += ph.p_memsz;
        }
    }
    return 1;
}

void BM_StaticFootprint(benchmark::State &state) {
    Segments s{g_session->library_path().c_str()};
    for (auto _ : state)
        dl_iterate_phdr(add_segments, &s);
    state.counters["text_kib"] = static_cast<double>(s.text) / 1024;
    state.counters["rodata_kib"] = static_cast<double>(s.rodata) / 1024;
    state.counters["data_bss_kib"] = static_cast<double>(s.data) / 1024;
}
BENCHMARK(BM_StaticFootprint)->Iterations(1);

// Resident set size of this process, in kilobytes.
long resident_kb() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kb = 0;
            status >> kb;
            return kb;
        }
        status.ignore(4096, '\n');
    }
    return -1;
}

// One simulated hour: per minute, 600 updates of 64 speakers with 3 server
// PINGs among them, 3000 audio callbacks of 20 ms for each of 8 speakers, and
// 6 users leaving or joining; the link drops every ten minutes and the host
// leaves and rejoins the server at half time. Arg: debug_log.
void BM_MemoryHour(benchmark::State &state) {
    set_thread_role(Role::host);
    const bool debug_log = state.range(0) != 0;
    const int minutes = quick_mode() ? 12 : 60;
    BenchServer server;
    if (!connect_plugin(server, 64, 1, debug_log)) {
        state.SkipWithError("no link");
        return;
    }
    std::vector<std::string> minute;
    for (size_t i = 0; i < 600; ++i) {
        minute.push_back("UPDATE2 " + update_payload(64, false, i % 7) + "\n");
        if (i % 200 == 100) minute.push_back("PING\n");
    }
    const std::vector<mvhost::RosterUser> users = roster(64);
    std::vector<float> pcm(960 * 2, 0.25f);
    uint64_t recv_offset = sys_counts().recv_bytes - server.bytes_sent();
    bool ok = true;
    auto drained = [&] {
        return wait_until([&] { return sys_counts().recv_bytes - recv_offset >= server.bytes_sent(); });
    };
    auto relink = [&](uint64_t established) {
        ok = ok && wait_until([&] { return server.established() > established; });
        recv_offset = sys_counts().recv_bytes - server.bytes_sent();
    };
    auto play_minute = [&](int m) {
        server.stream(&minute, 1, 0);
        for (int call = 0; call < 3000; ++call) {
            {
                const mvhost::AudioThreadMark as_audio;
                for (mvhost::UserId u = 2; u < 10; ++u)
                    plugin().onAudioSourceFetched(pcm.data(), 960, 2, 48000, true, u);
            }
            if (call % 64 == 0) std::fill(pcm.begin(), pcm.end(), 0.25f);
            if (call % 500 == 0) {
                const size_t who = 20 + static_cast<size_t>(call / 500);
                const bool present = (m & 1) != 0;
                const auto id = static_cast<mvhost::UserId>(who + 1);
                g_session->host().remove_user(id); // present at most once
                if (present) {
                    g_session->host().add_user(users[who]);
                    plugin().onUserAdded(kConnection, id);
                } else {
                    g_session->host().remove_user(id);
                    plugin().onUserRemoved(kConnection, id);
                }
            }
        }
        server.wait_stream();
        ok = ok && drained();
        if (m == minutes / 2) {
            const uint64_t established = server.established();
            g_session->disconnect();
            g_session->synchronise();
            relink(established);
        } else if (m % 10 == 0) {
            const uint64_t established = server.established();
            server.drop();
            relink(established);
        }
    };

    AllocCounts before{}, after{};
    long rss_before = 0, rss_after = 0;
    int64_t outstanding = 0;
    for (auto _ : state) {
        play_minute(1); // the first minute starts everything that is started once
        ok = ok && drained();
        before = alloc_counts();
        rss_before = resident_kb();
        for (int m = 2; m <= minutes + 1 && ok; ++m)
            play_minute(m);
        ok = ok && drained() && wait_until(worker_waits_for_data);
        after = alloc_counts();
        rss_after = resident_kb();
        outstanding = g_session->host().outstanding();
    }
    disconnect_plugin();
    if (!ok) state.SkipWithError("the session stalled");
    state.counters["minutes"] = minutes;
    state.counters["live_blocks_before"] = static_cast<double>(before.live_blocks);
    state.counters["live_blocks_after"] = static_cast<double>(after.live_blocks);
    state.counters["live_bytes_before"] = static_cast<double>(before.live_bytes);
    state.counters["live_bytes_after"] = static_cast<double>(after.live_bytes);
    state.counters["alloc_calls"] = static_cast<double>(after.calls - before.calls);
    state.counters["rss_kib_before"] = static_cast<double>(rss_before);
    state.counters["rss_kib_after"] = static_cast<double>(rss_after);
    state.counters["host_blocks_unreleased"] = static_cast<double>(outstanding);
}
BENCHMARK(BM_MemoryHour)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- the figures ----------------------------------------------------------------------------------
double counter(const CollectingReporter &r, const std::string &name, const std::string &c) {
    const RunResult *res = r.find(name);
    return res != nullptr ? res->median(c) : NAN;
}

void figures(const CollectingReporter &r) {
    if (r.find("BM_LockHold") != nullptr && counter(r, "BM_LockHold", "audio_takes_lock") == 0) {
        const std::string n = "BM_LockHold";
        add_figure({"2 lock hold", "the audio callback takes no lock: no hold by another thread can delay it",
                    "0 locks", "< 20 us", "-", Verdict::met});
        add_figure(
            {"2 lock hold",
             fmt("audio callbacks while %.0f updates/s and %.0f refreshes/s ran: %.0f calls; p99.9, max",
                 counter(r, n, "updates_per_s"), counter(r, n, "refreshes_per_s"),
                 counter(r, n, "audio_calls")),
             fmt("%s, %s", fmt_ns(counter(r, n, "audio_p999_ns")).c_str(),
                 fmt_ns(counter(r, n, "audio_max_ns")).c_str()),
             "never waits on parsing, I/O, logging or host calls", "-", Verdict::info});
    } else if (r.find("BM_LockHold") != nullptr) {
        const std::string n = "BM_LockHold";
        const double max = counter(r, n, "hold_max_ns");
        const double unswitched = counter(r, n, "hold_max_unswitched_ns");
        add_figure(
            {"2 lock hold",
             fmt("longest hold by worker or host thread (%.0f holds; %.0f updates/s, %.0f refreshes/s)",
                 counter(r, n, "holds"), counter(r, n, "updates_per_s"), counter(r, n, "refreshes_per_s")),
             fmt_ns(max), "< 20 us", "parse under the lock: see bench_core",
             max < 20e3 ? Verdict::met : Verdict::not_met});
        add_figure({"2 lock hold", "99.9th and 99.99th percentile of holds",
                    fmt("%s, %s", fmt_ns(counter(r, n, "hold_p999_ns")).c_str(),
                        fmt_ns(counter(r, n, "hold_p9999_ns")).c_str()),
                    "-", "-", Verdict::info});
        add_figure(
            {"2 lock hold",
             fmt("holds of 20 us or more: all, without a context switch (steal time meanwhile: %.2f s of "
                 "%.0f s)",
                 counter(r, n, "steal_s"), counter(r, n, "seconds")),
             fmt("%.0f, %.0f", counter(r, n, "holds_over_20us"), counter(r, n, "holds_over_20us_unswitched")),
             "0", "-", counter(r, n, "holds_over_20us") == 0 ? Verdict::met : Verdict::not_met});
        add_figure({"2 lock hold",
                    fmt("longest hold without a context switch around it (%.0f holds had one)",
                        counter(r, n, "hold_switched")),
                    fmt_ns(unswitched), "< 20 us", "-", unswitched < 20e3 ? Verdict::met : Verdict::not_met});
        add_figure({"2 lock hold",
                    fmt("audio callbacks meanwhile: %.0f, found the lock taken %.0f times; p99.9, max",
                        counter(r, n, "audio_calls"), counter(r, n, "audio_contended")),
                    fmt("%s, %s", fmt_ns(counter(r, n, "audio_p999_ns")).c_str(),
                        fmt_ns(counter(r, n, "audio_max_ns")).c_str()),
                    "never waits on parsing, I/O, logging or host calls", "-", Verdict::info});
    }
    for (int len : {100, 1000, 8191}) {
        for (int pace : {0, 1000}) {
            const std::string n = "BM_LinkLines/" + std::to_string(len) + "/" + std::to_string(pace);
            if (r.find(n) == nullptr) continue;
            const double calls = counter(r, n, "syscalls_per_line");
            add_figure(
                {"4 link",
                 fmt("%d-byte lines %s: system calls per line (recv+poll+send), worker CPU per line, heap "
                     "allocations while %.0f lines came",
                     len, pace == 0 ? "back to back" : "1 ms apart", counter(r, n, "lines")),
                 fmt("%.3f, %s, %.0f", calls, fmt_ns(counter(r, n, "worker_cpu_ns_per_line")).c_str(),
                     counter(r, n, "allocs")),
                 "<= 2", fmt("%d (one-byte reads)", len + 1), calls <= 2 ? Verdict::met : Verdict::not_met});
        }
    }
    if (r.find("BM_LinkIdle") != nullptr) {
        const std::string n = "BM_LinkIdle";
        add_figure({"4 link",
                    fmt("idle established link over %.0f s: worker CPU, system calls, PINGs sent",
                        counter(r, n, "seconds")),
                    fmt("%.0f us, %.0f, %.0f", counter(r, n, "worker_cpu_us"), counter(r, n, "syscalls"),
                        counter(r, n, "pings_sent")),
                    "-", "-", Verdict::info});
    }
    for (int s = 0; s < kStates; ++s) {
        const std::string n = "BM_StopLatency/" + std::to_string(s);
        if (r.find(n) == nullptr) continue;
        const double max = counter(r, n, "stop_max_ms");
        static constexpr const char *kReference[] = {
            "up to reconnect_sec (8 s); the stopper gives up at 6 s",
            "up to the system's connect timeout (about 2 min)", "up to the 5 s receive timeout",
            "up to the 5 s receive timeout", "until the lookup gives up (10 s or more; here never)"};
        add_figure({"5 stop latency",
                    fmt("%s: median, max of %.0f stops", kStateNames[s], counter(r, n, "stops")),
                    fmt("%.2f ms, %.2f ms", counter(r, n, "stop_median_ms"), max), "< 100 ms", kReference[s],
                    max < 100 ? Verdict::met : Verdict::not_met});
    }
    if (r.find("BM_StaticFootprint") != nullptr) {
        const std::string n = "BM_StaticFootprint";
        add_figure({"6 memory", "static footprint: code, read-only data, data+bss",
                    fmt("%.0f KiB, %.0f KiB, %.0f KiB", counter(r, n, "text_kib"),
                        counter(r, n, "rodata_kib"), counter(r, n, "data_bss_kib")),
                    "-", "-", Verdict::info});
    }
    for (int debug : {0, 1}) {
        const std::string n = "BM_MemoryHour/" + std::to_string(debug);
        if (r.find(n) == nullptr) continue;
        const double blocks = counter(r, n, "live_blocks_after") - counter(r, n, "live_blocks_before");
        const double bytes = counter(r, n, "live_bytes_after") - counter(r, n, "live_bytes_before");
        add_figure(
            {"6 memory",
             fmt("%.0f simulated minutes, debug_log=%d: live heap blocks and bytes, before -> after "
                 "(allocation calls meanwhile)",
                 counter(r, n, "minutes"), debug),
             fmt("%.0f -> %.0f blocks, %.0f -> %.0f B (%.0f calls)", counter(r, n, "live_blocks_before"),
                 counter(r, n, "live_blocks_after"), counter(r, n, "live_bytes_before"),
                 counter(r, n, "live_bytes_after"), counter(r, n, "alloc_calls")),
             "no growth", "-", blocks <= 0 && bytes <= 0 ? Verdict::met : Verdict::not_met});
        add_figure({"6 memory", fmt("resident set, before -> after (debug_log=%d)", debug),
                    fmt("%.0f -> %.0f KiB", counter(r, n, "rss_kib_before"), counter(r, n, "rss_kib_after")),
                    "-", "-", Verdict::info});
    }
}

} // namespace

int main(int argc, char **argv) {
    PluginSession session(&mark_bench_thread);
    g_session = &session;
    CollectingReporter reporter;
    if (!run_benchmarks(argc, argv, reporter)) return 1;
    figures(reporter);
    print_figures("End-to-end figures (bench_plugin)");
    g_session = nullptr;
    return 0;
}
