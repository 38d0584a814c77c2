// What the plugin library does, watched from outside, on either platform: the
// calls its link makes, what its worker waits for now, and name lookups that
// never answer. POSIX: the bench's probes put their own recv, poll, send,
// connect and getaddrinfo in front of the C library's (calls_posix.cpp).
// Windows: the library's import table is patched once it is loaded, so every
// Winsock and wait call that its code makes comes through counters first
// (calls_win32.cpp).
#pragma once

#include <cstdint>
#include <string>

#include "host/host.h"

namespace mvbench::calls {

// The platform's name for the report.
[[nodiscard]] const char *platform_name();
// Starts watching the library that host has loaded; false (with the reason)
// when that cannot be done.
bool watch(const mvhost::Host &host, std::string *error);
// Runs first on every thread of the bench's own (servers, host threads): their
// calls are not the plugin's.
void mark_own_thread();

struct Counts {
    uint64_t reads = 0;  // recv
    uint64_t sends = 0;  // send
    uint64_t waits = 0;  // poll; WaitForMultipleObjects, WaitForSingleObject with a time-out
    uint64_t checks = 0; // Windows only: waits with no time-out, which only look (is the stop event set?)
    uint64_t events = 0; // Windows only: WSACreateEvent, WSAEventSelect, WSAEnumNetworkEvents, WSACloseEvent
    uint64_t bytes_read = 0;
    [[nodiscard]] uint64_t total() const { return reads + sends + waits + checks + events; }
};
[[nodiscard]] Counts counts();
Counts operator-(const Counts &a, const Counts &b);

// What the worker thread waits for now.
enum class Wait {
    none,
    stop_only, // its stop event alone: a backoff
    connect,   // a connect in progress, and the stop event
    readable,  // a socket's data, or its lookup's end, and the stop event
};
[[nodiscard]] Wait worker_wait();
// Forgets the worker (before a new one starts).
void forget_worker();
// The worker thread last seen (0 if none), and whether a thread has ended.
[[nodiscard]] uint64_t worker_thread();
[[nodiscard]] bool thread_gone(uint64_t thread);

// Lookups of this name wait inside the lookup function until released.
[[nodiscard]] const char *hanging_host();
[[nodiscard]] size_t lookups_held();
void hold_lookups();
void release_lookups();

} // namespace mvbench::calls
