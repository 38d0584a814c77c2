// Times the holds of one mutex (the plugin's state lock) by replacing
// pthread_mutex_lock and pthread_mutex_unlock in this executable. The mutex is
// recognised as the first one that a chosen thread locks (the audio thread
// inside the audio callback, whose first act is to take the state lock).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <dlfcn.h>
#include <pthread.h>
#include <sys/resource.h>

#include "probes.h"

namespace {

using MutexFn = int (*)(pthread_mutex_t *);
MutexFn g_lock = nullptr;
MutexFn g_unlock = nullptr;
MutexFn g_trylock = nullptr;

__attribute__((constructor(101))) void resolve() {
    g_lock = reinterpret_cast<MutexFn>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
    g_unlock = reinterpret_cast<MutexFn>(dlsym(RTLD_NEXT, "pthread_mutex_unlock"));
    g_trylock = reinterpret_cast<MutexFn>(dlsym(RTLD_NEXT, "pthread_mutex_trylock"));
}

constinit std::atomic<pthread_mutex_t *> g_watched{nullptr};
constinit std::atomic<bool> g_armed{false};

// Samples live in a fixed array, so recording never allocates (the probe runs
// inside the code whose allocations are being counted).
constexpr size_t kMaxSamples = size_t{1} << 22;
mvbench::HoldSample g_samples[kMaxSamples];
constinit std::atomic<size_t> g_sample_count{0};
constinit std::atomic<uint64_t> g_audio_locks{0};
constinit std::atomic<uint64_t> g_audio_contended{0};

thread_local bool t_watch_next = false;
thread_local bool t_holding = false;
thread_local int64_t t_acquired_ns = 0;
thread_local long t_switches = 0;

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Voluntary and involuntary context switches of this thread so far.
long switches() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

} // namespace

// Visible to every object of the process, the plugin library included.
#pragma GCC visibility push(default)
extern "C" {

int pthread_mutex_lock(pthread_mutex_t *mutex) {
    if (t_watch_next) {
        t_watch_next = false;
        g_watched.store(mutex);
    }
    if (!g_armed.load(std::memory_order_relaxed) || mutex != g_watched.load(std::memory_order_relaxed))
        return g_lock(mutex);

    if (mvbench::thread_role() == mvbench::Role::audio) {
        g_audio_locks.fetch_add(1, std::memory_order_relaxed);
        if (g_trylock(mutex) == 0) return 0;
        g_audio_contended.fetch_add(1, std::memory_order_relaxed);
        return g_lock(mutex);
    }
    // Switches are read outside the hold, so reading them costs the hold nothing.
    t_switches = switches();
    const int rc = g_lock(mutex);
    t_acquired_ns = now_ns();
    t_holding = true;
    return rc;
}

int pthread_mutex_unlock(pthread_mutex_t *mutex) {
    if (!t_holding || mutex != g_watched.load(std::memory_order_relaxed)) return g_unlock(mutex);
    const int64_t held = now_ns() - t_acquired_ns;
    t_holding = false;
    const int rc = g_unlock(mutex);
    const bool switched = switches() != t_switches;
    const size_t i = g_sample_count.fetch_add(1, std::memory_order_relaxed);
    if (i < kMaxSamples)
        g_samples[i] = {static_cast<uint32_t>(std::min<int64_t>(held, UINT32_MAX)), mvbench::thread_role(),
                        switched};
    return rc;
}

} // extern "C"
#pragma GCC visibility pop

namespace mvbench {

void lock_probe_watch_next() noexcept {
    t_watch_next = true;
}
void lock_probe_cancel_watch() noexcept {
    t_watch_next = false;
}
bool lock_probe_watching() noexcept {
    return g_watched.load() != nullptr;
}
void lock_probe_arm(bool on) noexcept {
    g_armed.store(on);
}

void lock_probe_reset() noexcept {
    g_sample_count.store(0);
    g_audio_locks.store(0);
    g_audio_contended.store(0);
}

std::vector<HoldSample> lock_probe_holds() {
    const size_t n = std::min(g_sample_count.load(), kMaxSamples);
    return std::vector<HoldSample>(g_samples, g_samples + n);
}

AudioLockCounts lock_probe_audio() noexcept {
    return {g_audio_locks.load(), g_audio_contended.load()};
}

} // namespace mvbench
