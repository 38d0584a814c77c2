// Probes that the bench programs link in to watch the code under test from
// outside: allocation counts (malloc family), the socket calls of the link
// (recv, poll, send, connect) and, in the plugin bench, the holds of the
// plugin's state lock (name lookups that never answer: net/lookup_hold.h). Each replaces the C library's
// entry point in this executable; the plugin library, loaded later, binds to them the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <pthread.h>
#include <vector>

namespace mvbench {

// Whose calls a probe counts. Threads the bench does not know (the plugin's
// worker) are subjects.
enum class Role : uint8_t {
    subject, // the code under test: allocations and socket calls counted
    host,    // a host thread calling the plugin's exports: allocations counted
    audio,   // the host's audio thread: allocations counted, lock waits watched
    bench,   // the bench's own threads (servers, writers): nothing counted
};
void set_thread_role(Role role) noexcept;
[[nodiscard]] Role thread_role() noexcept;

// ---- allocations ---------------------------------------------------------------
struct AllocCounts {
    uint64_t calls;      // allocation calls by threads that are not Role::bench
    int64_t live_blocks; // blocks allocated and not yet freed, by any thread
    int64_t live_bytes;  // their usable size
};
[[nodiscard]] AllocCounts alloc_counts() noexcept;

// ---- socket calls of subject threads -----------------------------------------------
struct SysCounts {
    uint64_t recv, poll, send, connect;
    uint64_t recv_bytes; // bytes that recv handed over
    [[nodiscard]] uint64_t link_calls() const { return recv + poll + send; }
};
[[nodiscard]] SysCounts sys_counts() noexcept;
SysCounts operator-(const SysCounts &a, const SysCounts &b) noexcept;

// What the last subject thread that made a socket call is doing now.
struct SubjectWait {
    bool in_poll;
    int nfds;       // 1: a stop event alone (a backoff); 2: a socket and the stop event
    short events;   // of the first descriptor: POLLIN or POLLOUT
    bool connected; // connect() has been called and answered EINPROGRESS or 0
};
[[nodiscard]] SubjectWait subject_wait() noexcept;
// The thread and the kernel task id of the last subject thread seen; 0 if none.
[[nodiscard]] pthread_t subject_thread() noexcept;
[[nodiscard]] int subject_tid() noexcept;
void forget_subject() noexcept;
// CPU time used so far by the last subject thread, in nanoseconds (-1 if gone).
[[nodiscard]] int64_t subject_cpu_ns() noexcept;

// ---- holds of one mutex (plugin bench only) ---------------------------------------------
// The next mutex that this thread locks is the one to watch.
void lock_probe_watch_next() noexcept;
// Forgets a watch_next that no lock has answered yet.
void lock_probe_cancel_watch() noexcept;
[[nodiscard]] bool lock_probe_watching() noexcept;
void lock_probe_arm(bool on) noexcept;
void lock_probe_reset() noexcept;

struct HoldSample {
    uint32_t ns;
    Role role;
    bool switched; // the thread was switched out around the hold (preempted or waited)
};
// Every hold recorded since the last reset by threads other than Role::audio.
[[nodiscard]] std::vector<HoldSample> lock_probe_holds();
// Locks by Role::audio threads, and how many of them found the mutex taken.
struct AudioLockCounts {
    uint64_t locks, contended;
};
[[nodiscard]] AudioLockCounts lock_probe_audio() noexcept;

} // namespace mvbench
