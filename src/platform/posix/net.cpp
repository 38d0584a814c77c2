// Events and sockets on POSIX. They share a file because every socket wait
// polls the socket and the stop event's pipe together, so that a stop ends any
// wait at once.
#include "platform/platform.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <new>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace mv::platform {

// The flag answers event_is_set without a system call and is the one word of
// truth; the pipe gets a byte when the event is set and is never drained, so it
// stays readable and poll() wakes for a set event for as long as it lives.
struct Event {
    std::atomic<bool> set{false};
    int read_fd = -1;
    int write_fd = -1;
};

namespace {

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL | MSG_DONTWAIT;
#else
constexpr int kSendFlags = MSG_DONTWAIT;
#endif

uint64_t monotonic_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// The end of a wait of timeout_ms; UINT32_MAX waits for ever.
class Deadline {
  public:
    explicit Deadline(uint32_t timeout_ms)
        : infinite_(timeout_ms == UINT32_MAX), end_(monotonic_ms() + timeout_ms) {}
    // What is left, as poll() takes it.
    int remaining() const {
        if (infinite_) return -1;
        const uint64_t now = monotonic_ms();
        if (now >= end_) return 0;
        const uint64_t left = end_ - now;
        return left > INT_MAX ? INT_MAX : static_cast<int>(left);
    }

  private:
    bool infinite_;
    uint64_t end_;
};

bool is_stopped(const Event *stop) {
    return stop != nullptr && stop->set.load(std::memory_order_acquire);
}

bool set_flag(int fd, int get, int set, int flag) {
    const int flags = fcntl(fd, get);
    return flags >= 0 && fcntl(fd, set, flags | flag) == 0;
}

enum class Ready { io, timeout, stopped, failed };

// Waits until fd is ready for `events`, the stop event is set or the deadline passes.
Ready wait_fd(int fd, short events, const Event *stop, const Deadline &deadline) {
    for (;;) {
        if (is_stopped(stop)) return Ready::stopped;
        pollfd fds[2] = {{fd, events, 0}, {stop != nullptr ? stop->read_fd : -1, POLLIN, 0}};
        const int n = poll(fds, stop != nullptr ? 2 : 1, deadline.remaining());
        if (n < 0) {
            if (errno == EINTR) continue;
            return Ready::failed;
        }
        if (is_stopped(stop)) return Ready::stopped;
        if (n == 0) return Ready::timeout;
        if (fds[0].revents != 0) return Ready::io;
    }
}

IoResult timed_out() {
    errno = EAGAIN; // what a blocking call with SO_RCVTIMEO reports
    return {IoStatus::timeout, 0, EAGAIN};
}

const addrinfo *first_address(const AddressList *list) {
    return reinterpret_cast<const addrinfo *>(list);
}

// Connects one non-blocking socket. On failure errno holds the reason.
Ready connect_one(int fd, const addrinfo *ai, const Event *stop, uint32_t timeout_ms) {
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) return Ready::io;
    // EINTR leaves the connection going on in the background, like EINPROGRESS.
    if (errno != EINPROGRESS && errno != EINTR) return Ready::failed;
    const Ready ready = wait_fd(fd, POLLOUT, stop, Deadline(timeout_ms));
    if (ready == Ready::timeout) errno = ETIMEDOUT;
    if (ready != Ready::io) return ready;
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return Ready::failed;
    if (error != 0) {
        errno = error;
        return Ready::failed;
    }
    return Ready::io;
}

} // namespace

// ---- Events ----------------------------------------------------------------
Event *event_create() noexcept {
    auto *event = new (std::nothrow) Event;
    if (event == nullptr) return nullptr;
    int fds[2];
    if (pipe(fds) != 0) {
        delete event;
        return nullptr;
    }
    event->read_fd = fds[0];
    event->write_fd = fds[1];
    for (int fd : fds) {
        set_flag(fd, F_GETFD, F_SETFD, FD_CLOEXEC);
        set_flag(fd, F_GETFL, F_SETFL, O_NONBLOCK);
    }
    return event;
}

void event_destroy(Event *event) noexcept {
    if (event == nullptr) return;
    close(event->read_fd);
    close(event->write_fd);
    delete event;
}

// The flag is stored last: a thread that sees it set may destroy the event at
// once, so nothing of the event may be touched after the store. Two racing
// setters each write a byte, which does no harm.
void event_set(Event *event) noexcept {
    if (event == nullptr || event->set.load(std::memory_order_acquire)) return;
    const char byte = 1;
    while (write(event->write_fd, &byte, 1) < 0 && errno == EINTR) {
    }
    event->set.store(true, std::memory_order_release);
}

bool event_is_set(Event *event) noexcept {
    return is_stopped(event);
}

bool event_wait(Event *event, uint32_t timeout_ms) noexcept {
    if (event == nullptr) return false;
    const Deadline deadline(timeout_ms);
    for (;;) {
        if (is_stopped(event)) return true;
        pollfd fd{event->read_fd, POLLIN, 0};
        const int n = poll(&fd, 1, deadline.remaining());
        if (n < 0 && errno != EINTR) return is_stopped(event);
        if (n == 0) return is_stopped(event);
    }
}

int event_wait_either(Event *first, Event *second, uint32_t timeout_ms) noexcept {
    if (first == nullptr || second == nullptr) return -1;
    const Deadline deadline(timeout_ms);
    for (;;) {
        if (is_stopped(first)) return 0;
        if (is_stopped(second)) return 1;
        pollfd fds[2] = {{first->read_fd, POLLIN, 0}, {second->read_fd, POLLIN, 0}};
        const int n = poll(fds, 2, deadline.remaining());
        if (n < 0 && errno != EINTR) return -1;
        if (n == 0) return is_stopped(first) ? 0 : is_stopped(second) ? 1 : -1;
    }
}

// ---- Sockets ---------------------------------------------------------------
bool net_startup() noexcept {
    return true;
}
void net_cleanup() noexcept {}

AddressList *resolve(const char *host, const char *port) noexcept {
    addrinfo hints{};
    hints.ai_flags = 0;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo *result = nullptr;
    if (getaddrinfo(host, port, &hints, &result) != 0) return nullptr;
    return reinterpret_cast<AddressList *>(result);
}

void free_addresses(AddressList *list) noexcept {
    if (list != nullptr) freeaddrinfo(reinterpret_cast<addrinfo *>(list));
}

Socket connect_first(const AddressList *list, Event *stop, uint32_t timeout_ms, bool *stopped) noexcept {
    if (stopped != nullptr) *stopped = false;
    for (const addrinfo *ai = first_address(list); ai != nullptr; ai = ai->ai_next) {
        if (is_stopped(stop)) break;
        const int fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (fd < 0) continue;
        set_flag(fd, F_GETFD, F_SETFD, FD_CLOEXEC);
        // Our own waits bound every call; the system timeouts stay as a backstop.
        const timeval five_seconds{5, 0};
        (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &five_seconds, sizeof five_seconds);
        (void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &five_seconds, sizeof five_seconds);
#ifdef SO_NOSIGPIPE
        const int one = 1;
        (void)setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
        if (!set_flag(fd, F_GETFL, F_SETFL, O_NONBLOCK)) {
            close(fd);
            continue;
        }
        const Ready ready = connect_one(fd, ai, stop, timeout_ms);
        if (ready == Ready::io) return fd;
        const int error = errno;
        close(fd);
        errno = error;
        if (ready == Ready::stopped) break;
    }
    if (stopped != nullptr) *stopped = is_stopped(stop);
    return kInvalidSocket;
}

namespace {

// Runs op (one non-blocking send or recv) until it no longer would block,
// waiting for `events` in between, within timeout_ms and until stop. op gives
// its final result, or nothing when it would block (errno is then EAGAIN).
template <class Op>
IoResult io_loop(int fd, short events, Event *stop, uint32_t timeout_ms, bool try_first, Op op) {
    const Deadline deadline(timeout_ms);
    bool attempt = try_first;
    for (;;) {
        if (is_stopped(stop)) return {IoStatus::stopped, 0, 0};
        if (attempt) {
            const std::optional<IoResult> done = op();
            if (done) return *done;
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return {IoStatus::error, 0, errno};
        }
        attempt = true;
        switch (wait_fd(fd, events, stop, deadline)) {
        case Ready::io:
            continue;
        case Ready::timeout:
            return timed_out();
        case Ready::stopped:
            return {IoStatus::stopped, 0, 0};
        case Ready::failed:
            return {IoStatus::error, 0, errno};
        }
    }
}

} // namespace

IoResult send_bytes(Socket s, const char *data, size_t len, Event *stop, uint32_t timeout_ms) noexcept {
    const int fd = static_cast<int>(s);
    return io_loop(fd, POLLOUT, stop, timeout_ms, true, [&]() -> std::optional<IoResult> {
        const ssize_t n = send(fd, data, len, kSendFlags);
        if (n >= 0) return IoResult{IoStatus::ok, static_cast<size_t>(n), 0};
        return std::nullopt;
    });
}

IoResult recv_bytes(Socket s, char *buf, size_t cap, Event *stop, uint32_t timeout_ms,
                    bool wait_first) noexcept {
    if (is_stopped(stop)) return {IoStatus::stopped, 0, 0};
    if (cap == 0) return {IoStatus::ok, 0, 0}; // recv would say 0, which reads as "closed"
    const int fd = static_cast<int>(s);
    return io_loop(fd, POLLIN, stop, timeout_ms, !wait_first, [&]() -> std::optional<IoResult> {
        const ssize_t n = recv(fd, buf, cap, MSG_DONTWAIT);
        if (n > 0) return IoResult{IoStatus::ok, static_cast<size_t>(n), 0};
        if (n == 0) return IoResult{IoStatus::closed, 0, 0};
        return std::nullopt;
    });
}

void close_socket(Socket s) noexcept {
    if (s != kInvalidSocket) close(static_cast<int>(s));
}

int last_socket_error() noexcept {
    return errno;
}

} // namespace mv::platform
