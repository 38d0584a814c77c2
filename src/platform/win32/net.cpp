// Events and sockets on Windows. A connected socket carries an event object
// bound to its network events (WSAEventSelect) for its whole life, and every
// wait waits on that and the stop event together, so that a stop ends any wait
// at once; binding once, rather than per wait, keeps a received line to a wait
// and a recv. WSAEventSelect also makes the socket non-blocking.
#include "platform/platform.h"

#include <atomic>
#include <climits>
#include <new>
#include <optional>
#include <winsock2.h> // before windows.h, which may bring the old winsock.h
#include <ws2tcpip.h>

#include <windows.h>

namespace mv::platform {

// A manual-reset event object, and a flag that answers "is it set?" without a
// call into the kernel (the worker asks once per line).
struct Event {
    HANDLE handle = nullptr;
    std::atomic<bool> set{false};
};

namespace {

HANDLE handle_of(Event *event) {
    return event->handle;
}

bool is_stopped(Event *stop) {
    return stop != nullptr && stop->set.load(std::memory_order_acquire);
}

// A connected socket and its event: auto-reset, so that a wait that it ends
// needs no second call to reset it.
struct BoundSocket {
    SOCKET socket = INVALID_SOCKET;
    HANDLE event = nullptr;
};

BoundSocket *bound(Socket s) {
    return reinterpret_cast<BoundSocket *>(s);
}

// The end of a wait of timeout_ms; UINT32_MAX (INFINITE) waits for ever.
class Deadline {
  public:
    explicit Deadline(uint32_t timeout_ms)
        : infinite_(timeout_ms == INFINITE), end_(GetTickCount64() + timeout_ms) {}
    DWORD remaining() const {
        if (infinite_) return INFINITE;
        const ULONGLONG now = GetTickCount64();
        if (now >= end_) return 0;
        const ULONGLONG left = end_ - now;
        return left >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(left);
    }

  private:
    bool infinite_;
    ULONGLONG end_;
};

enum class Ready { io, timeout, stopped, failed };

// Binds a fresh event object to some network events of a socket for the length
// of one operation. Unbinding leaves the socket non-blocking.
class SocketWait {
  public:
    SocketWait(SOCKET s, long events) : socket_(s), event_(WSACreateEvent()) {
        bound_ = event_ != WSA_INVALID_EVENT && WSAEventSelect(s, event_, events) == 0;
    }
    ~SocketWait() {
        const int error = WSAGetLastError(); // kept for last_socket_error()
        if (bound_) WSAEventSelect(socket_, nullptr, 0);
        if (event_ != WSA_INVALID_EVENT) WSACloseEvent(event_);
        WSASetLastError(error);
    }
    SocketWait(const SocketWait &) = delete;
    SocketWait &operator=(const SocketWait &) = delete;

    bool bound() const { return bound_; }

    // Waits for one of the bound events; *happened receives what they were.
    Ready wait(Event *stop, const Deadline &deadline, WSANETWORKEVENTS *happened) {
        // The stop event comes first: when both are signalled, the stop wins.
        HANDLE handles[2] = {stop != nullptr ? handle_of(stop) : event_, event_};
        const DWORD count = stop != nullptr ? 2 : 1;
        const DWORD r = WaitForMultipleObjects(count, handles, FALSE, deadline.remaining());
        if (r == WAIT_TIMEOUT) return Ready::timeout;
        if (r >= WAIT_OBJECT_0 + count) return Ready::failed;
        if (stop != nullptr && r == WAIT_OBJECT_0) return Ready::stopped;
        // Clears the record and resets the event object for the next wait.
        return WSAEnumNetworkEvents(socket_, event_, happened) == 0 ? Ready::io : Ready::failed;
    }

  private:
    SOCKET socket_;
    WSAEVENT event_;
    bool bound_ = false;
};

IoResult timed_out() {
    WSASetLastError(WSAETIMEDOUT); // what a blocking call with SO_RCVTIMEO reports
    return {IoStatus::timeout, 0, WSAETIMEDOUT};
}

IoResult failed() {
    return {IoStatus::error, 0, WSAGetLastError()};
}

int clamp_int(size_t n) {
    return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

const addrinfo *first_address(const AddressList *list) {
    return reinterpret_cast<const addrinfo *>(list);
}

// Connects one socket. On failure WSAGetLastError() holds the reason.
Ready connect_one(SOCKET s, const addrinfo *ai, Event *stop, uint32_t timeout_ms) {
    SocketWait wait(s, FD_CONNECT);
    if (!wait.bound()) return Ready::failed;
    if (connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == 0) return Ready::io;
    if (WSAGetLastError() != WSAEWOULDBLOCK) return Ready::failed;
    const Deadline deadline(timeout_ms);
    for (;;) {
        WSANETWORKEVENTS happened{};
        const Ready ready = wait.wait(stop, deadline, &happened);
        if (ready == Ready::timeout) WSASetLastError(WSAETIMEDOUT);
        if (ready != Ready::io) return ready;
        if ((happened.lNetworkEvents & FD_CONNECT) == 0) continue;
        const int error = happened.iErrorCode[FD_CONNECT_BIT];
        if (error == 0) return Ready::io;
        WSASetLastError(error);
        return Ready::failed;
    }
}

// The final result of one send or recv call, or nothing when it would block.
std::optional<IoResult> outcome(int n, bool is_recv) {
    if (n == SOCKET_ERROR) {
        if (WSAGetLastError() == WSAEWOULDBLOCK) return std::nullopt;
        return failed();
    }
    if (n == 0 && is_recv) return IoResult{IoStatus::closed, 0, 0};
    return IoResult{IoStatus::ok, static_cast<size_t>(n), 0};
}

// Runs op (one send or recv) until it does not block, waiting on the socket's
// event in between, within timeout_ms and until stop.
template <class Op>
IoResult io_loop(const BoundSocket &s, bool is_recv, Event *stop, uint32_t timeout_ms, bool try_first,
                 Op op) {
    const Deadline deadline(timeout_ms);
    bool attempt = try_first;
    for (;;) {
        if (is_stopped(stop)) return {IoStatus::stopped, 0, 0};
        if (attempt)
            if (auto done = outcome(op(), is_recv)) return *done;
        attempt = true;
        // The stop event comes first: when both are signalled, the stop wins.
        HANDLE handles[2] = {stop != nullptr ? handle_of(stop) : s.event, s.event};
        const DWORD count = stop != nullptr ? 2 : 1;
        const DWORD r = WaitForMultipleObjects(count, handles, FALSE, deadline.remaining());
        if (r == WAIT_TIMEOUT) return timed_out();
        if (r >= WAIT_OBJECT_0 + count) return failed();
        if (stop != nullptr && r == WAIT_OBJECT_0) return {IoStatus::stopped, 0, 0};
        // Some network event came (or an earlier one was still recorded): try again.
    }
}

} // namespace

// ---- Events ----------------------------------------------------------------
Event *event_create() noexcept {
    auto *event = new (std::nothrow) Event;
    if (event == nullptr) return nullptr;
    event->handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event->handle == nullptr) {
        delete event;
        return nullptr;
    }
    return event;
}

void event_destroy(Event *event) noexcept {
    if (event == nullptr) return;
    CloseHandle(event->handle);
    delete event;
}

// The flag is stored first, so that a thread woken by the handle finds it set
// (a stop seen through the handle but not the flag would read as a failure).
// Every setter keeps the event alive until this returns.
void event_set(Event *event) noexcept {
    if (event == nullptr || event->set.exchange(true, std::memory_order_acq_rel)) return;
    SetEvent(event->handle);
}

bool event_is_set(Event *event) noexcept {
    return is_stopped(event);
}

bool event_wait(Event *event, uint32_t timeout_ms) noexcept {
    if (event == nullptr) return false;
    return is_stopped(event) || WaitForSingleObject(event->handle, timeout_ms) == WAIT_OBJECT_0;
}

int event_wait_either(Event *first, Event *second, uint32_t timeout_ms) noexcept {
    if (first == nullptr || second == nullptr) return -1;
    if (is_stopped(first)) return 0;
    if (is_stopped(second)) return 1;
    // The first handle wins when both are signalled.
    HANDLE handles[2] = {handle_of(first), handle_of(second)};
    const DWORD r = WaitForMultipleObjects(2, handles, FALSE, timeout_ms);
    if (r == WAIT_OBJECT_0) return 0;
    if (r == WAIT_OBJECT_0 + 1) return 1;
    return -1;
}

// ---- Sockets ---------------------------------------------------------------
bool net_startup() noexcept {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void net_cleanup() noexcept {
    WSACleanup();
}

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
        const SOCKET s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (s == INVALID_SOCKET) continue;
        // Our own waits bound every call; the system timeouts stay as a backstop.
        const DWORD five_seconds = 5000;
        (void)setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&five_seconds),
                         sizeof five_seconds);
        (void)setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char *>(&five_seconds),
                         sizeof five_seconds);
        Ready ready = connect_one(s, ai, stop, timeout_ms);
        if (ready == Ready::io) {
            auto *b = new (std::nothrow) BoundSocket{s, CreateEventW(nullptr, FALSE, FALSE, nullptr)};
            if (b != nullptr && b->event != nullptr &&
                WSAEventSelect(s, b->event, FD_READ | FD_WRITE | FD_CLOSE) == 0)
                return reinterpret_cast<Socket>(b);
            if (b != nullptr && b->event != nullptr) CloseHandle(b->event);
            delete b;
            ready = Ready::failed;
        }
        const int error = WSAGetLastError();
        closesocket(s);
        WSASetLastError(error);
        if (ready == Ready::stopped) break;
    }
    if (stopped != nullptr) *stopped = is_stopped(stop);
    return kInvalidSocket;
}

IoResult send_bytes(Socket s, const char *data, size_t len, Event *stop, uint32_t timeout_ms) noexcept {
    const BoundSocket &b = *bound(s);
    const int n = clamp_int(len);
    return io_loop(b, false, stop, timeout_ms, true, [&] { return send(b.socket, data, n, 0); });
}

IoResult recv_bytes(Socket s, char *buf, size_t cap, Event *stop, uint32_t timeout_ms,
                    bool wait_first) noexcept {
    if (cap == 0) return is_stopped(stop) ? IoResult{IoStatus::stopped, 0, 0} : IoResult{IoStatus::ok, 0, 0};
    const BoundSocket &b = *bound(s);
    const int n = clamp_int(cap);
    return io_loop(b, true, stop, timeout_ms, !wait_first, [&] { return recv(b.socket, buf, n, 0); });
}

void close_socket(Socket s) noexcept {
    if (s == kInvalidSocket) return;
    BoundSocket *b = bound(s);
    closesocket(b->socket);
    CloseHandle(b->event);
    delete b;
}

int last_socket_error() noexcept {
    return WSAGetLastError();
}

} // namespace mv::platform
