// Counts the socket calls of subject threads by replacing recv, poll, send and
// connect in this executable. The plugin library binds to these as well, so
// the counts are those of its worker. Each forwards to the C library's own
// definition, found once with dlsym(RTLD_NEXT).
#include <atomic>
#include <cerrno>
#include <ctime>
#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "probes.h"

namespace {

using RecvFn = ssize_t (*)(int, void *, size_t, int);
using SendFn = ssize_t (*)(int, const void *, size_t, int);
using PollFn = int (*)(pollfd *, nfds_t, int);
using ConnectFn = int (*)(int, const sockaddr *, socklen_t);

RecvFn g_recv = nullptr;
SendFn g_send = nullptr;
PollFn g_poll = nullptr;
ConnectFn g_connect = nullptr;

template <typename Fn> Fn next_definition(const char *name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// Resolved before main, while the process has one thread.
__attribute__((constructor(101))) void resolve() {
    g_recv = next_definition<RecvFn>("recv");
    g_send = next_definition<SendFn>("send");
    g_poll = next_definition<PollFn>("poll");
    g_connect = next_definition<ConnectFn>("connect");
}

constinit std::atomic<uint64_t> g_recv_calls{0}, g_poll_calls{0}, g_send_calls{0}, g_connect_calls{0};
constinit std::atomic<uint64_t> g_recv_bytes{0};

// The subject thread last seen and what it waits for.
constinit std::atomic<pthread_t> g_subject{0};
constinit std::atomic<int> g_subject_tid{0};
constinit std::atomic<bool> g_in_poll{false};
constinit std::atomic<int> g_poll_nfds{0};
constinit std::atomic<short> g_poll_events{0};
constinit std::atomic<bool> g_connected{false};

thread_local int t_tid = 0;

bool counted() {
    return mvbench::thread_role() == mvbench::Role::subject;
}

void seen() {
    if (t_tid == 0) t_tid = static_cast<int>(syscall(SYS_gettid));
    g_subject.store(pthread_self(), std::memory_order_relaxed);
    g_subject_tid.store(t_tid, std::memory_order_relaxed);
}

} // namespace

// Visible to every object of the process, the plugin library included.
#pragma GCC visibility push(default)
extern "C" {

ssize_t recv(int fd, void *buf, size_t len, int flags) {
    if (!counted()) return g_recv(fd, buf, len, flags);
    seen();
    g_recv_calls.fetch_add(1, std::memory_order_relaxed);
    const ssize_t n = g_recv(fd, buf, len, flags);
    if (n > 0) g_recv_bytes.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    return n;
}

ssize_t send(int fd, const void *buf, size_t len, int flags) {
    if (counted()) {
        seen();
        g_send_calls.fetch_add(1, std::memory_order_relaxed);
    }
    return g_send(fd, buf, len, flags);
}

int poll(pollfd *fds, nfds_t nfds, int timeout) {
    if (!counted()) return g_poll(fds, nfds, timeout);
    seen();
    g_poll_calls.fetch_add(1, std::memory_order_relaxed);
    g_poll_nfds.store(static_cast<int>(nfds), std::memory_order_relaxed);
    g_poll_events.store(nfds > 0 ? fds[0].events : 0, std::memory_order_relaxed);
    g_in_poll.store(true, std::memory_order_release);
    const int n = g_poll(fds, nfds, timeout);
    const int error = errno;
    g_in_poll.store(false, std::memory_order_release);
    errno = error;
    return n;
}

int connect(int fd, const sockaddr *address, socklen_t length) {
    if (!counted()) return g_connect(fd, address, length);
    seen();
    g_connect_calls.fetch_add(1, std::memory_order_relaxed);
    const int rc = g_connect(fd, address, length);
    const int error = errno;
    g_connected.store(rc == 0 || error == EINPROGRESS, std::memory_order_release);
    errno = error;
    return rc;
}

} // extern "C"
#pragma GCC visibility pop

namespace mvbench {

SysCounts sys_counts() noexcept {
    return {g_recv_calls.load(), g_poll_calls.load(), g_send_calls.load(), g_connect_calls.load(),
            g_recv_bytes.load()};
}

SysCounts operator-(const SysCounts &a, const SysCounts &b) noexcept {
    return {a.recv - b.recv, a.poll - b.poll, a.send - b.send, a.connect - b.connect,
            a.recv_bytes - b.recv_bytes};
}

SubjectWait subject_wait() noexcept {
    return {g_in_poll.load(std::memory_order_acquire), g_poll_nfds.load(), g_poll_events.load(),
            g_connected.load(std::memory_order_acquire)};
}

pthread_t subject_thread() noexcept {
    return g_subject.load();
}
int subject_tid() noexcept {
    return g_subject_tid.load();
}

void forget_subject() noexcept {
    g_subject.store(0);
    g_subject_tid.store(0);
    g_in_poll.store(false);
    g_poll_nfds.store(0);
    g_connected.store(false);
}

int64_t subject_cpu_ns() noexcept {
    const pthread_t thread = g_subject.load();
    if (thread == 0) return -1;
    clockid_t clock;
    if (pthread_getcpuclockid(thread, &clock) != 0) return -1;
    timespec ts{};
    if (clock_gettime(clock, &ts) != 0) return -1;
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

} // namespace mvbench
