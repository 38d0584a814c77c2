// POSIX sockets.
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "net/net.h"

namespace mvnet {
namespace {

int fd(Socket s) {
    return static_cast<int>(s);
}

void set_error(std::string *error, std::string text) {
    if (error != nullptr) *error = std::move(text);
}

// A fresh socket, closed on exec and non-blocking.
int new_socket(int family, int type, int protocol) {
    return ::socket(family, type | SOCK_CLOEXEC | SOCK_NONBLOCK, protocol);
}

void set_nodelay(int s) {
    const int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

std::string address_text(const sockaddr *address, socklen_t length) {
    char host[NI_MAXHOST] = "?";
    char service[NI_MAXSERV] = "?";
    getnameinfo(address, length, host, sizeof host, service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV);
    return std::string(host) + ":" + service;
}

// poll() on one descriptor, retried after a signal with the time that is left.
int wait_for(int s, short events, int timeout_ms) {
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        pollfd entry{s, events, 0};
        const int n = ::poll(&entry, 1, timeout_ms);
        if (n >= 0) return n > 0 ? 1 : 0;
        if (errno != EINTR) return -1;
        if (timeout_ms >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            timeout_ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
    }
}

Io failure(int error) {
    return error == ECONNRESET || error == EPIPE ? Io::reset : Io::failed;
}

} // namespace

Socket listen_tcp(std::string_view address, uint16_t port, int backlog, uint16_t *bound_port,
                  std::string *error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST;
    addrinfo *list = nullptr;
    const std::string host(address);
    const std::string service = std::to_string(port);
    if (const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &list); rc != 0) {
        set_error(error, "bad listen address " + host + ": " + gai_strerror(rc));
        return kInvalidSocket;
    }
    const int s = new_socket(list->ai_family, list->ai_socktype, list->ai_protocol);
    const int one = 1;
    if (s >= 0) setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (s < 0 || bind(s, list->ai_addr, list->ai_addrlen) != 0 || (backlog >= 0 && listen(s, backlog) != 0)) {
        set_error(error, "cannot listen on " + host + ":" + service + ": " + std::strerror(errno));
        if (s >= 0) ::close(s);
        freeaddrinfo(list);
        return kInvalidSocket;
    }
    freeaddrinfo(list);
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(s, reinterpret_cast<sockaddr *>(&bound), &length);
    if (bound_port != nullptr)
        *bound_port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port
                                                        : reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
    return s;
}

Socket listen_loopback(uint16_t *port, int backlog) {
    return listen_tcp("127.0.0.1", 0, backlog, port);
}

Socket listen_loopback_at(uint16_t port, int backlog) {
    return listen_tcp("127.0.0.1", port, backlog, nullptr);
}

Socket bind_loopback(uint16_t *port) {
    return listen_tcp("127.0.0.1", 0, -1, port);
}

bool start_listening(Socket s, int backlog) {
    return ::listen(fd(s), backlog) == 0;
}

Socket accept_one(Socket listener, int timeout_ms, std::string *peer) {
    if (wait_for(fd(listener), POLLIN, timeout_ms) != 1) return kInvalidSocket;
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const int s =
        accept4(fd(listener), reinterpret_cast<sockaddr *>(&address), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (s < 0) return kInvalidSocket;
    set_nodelay(s);
    if (peer != nullptr) *peer = address_text(reinterpret_cast<sockaddr *>(&address), length);
    return s;
}

Socket connect_tcp(std::string_view host, uint16_t port, int timeout_ms, std::string *error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo *list = nullptr;
    const std::string name(host);
    const std::string service = std::to_string(port);
    if (const int rc = getaddrinfo(name.c_str(), service.c_str(), &hints, &list); rc != 0) {
        set_error(error, "cannot resolve " + name + ": " + gai_strerror(rc));
        return kInvalidSocket;
    }
    int s = -1;
    set_error(error, "no address of " + name);
    for (const addrinfo *a = list; a != nullptr; a = a->ai_next) {
        s = new_socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s < 0) continue;
        int rc = ::connect(s, a->ai_addr, a->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            if (wait_for(s, POLLOUT, timeout_ms) == 1) {
                int so_error = 0;
                socklen_t length = sizeof so_error;
                getsockopt(s, SOL_SOCKET, SO_ERROR, &so_error, &length);
                rc = so_error == 0 ? 0 : -1;
                errno = so_error;
            } else {
                errno = ETIMEDOUT;
            }
        }
        if (rc == 0) break;
        set_error(error, "cannot connect to " + name + ":" + service + ": " + std::strerror(errno));
        ::close(s);
        s = -1;
    }
    freeaddrinfo(list);
    if (s >= 0) set_nodelay(s);
    return s < 0 ? kInvalidSocket : s;
}

IoResult receive(Socket s, char *buf, size_t cap, int timeout_ms) {
    for (;;) {
        const int ready = wait_for(fd(s), POLLIN, timeout_ms);
        if (ready <= 0) return {ready == 0 ? Io::timeout : Io::failed};
        const ssize_t n = ::recv(fd(s), buf, cap, MSG_DONTWAIT);
        if (n > 0) return {Io::done, static_cast<size_t>(n)};
        if (n == 0) return {cap == 0 ? Io::done : Io::closed};
        // Readable yet nothing to read: another reader was first; wait again.
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return {failure(errno)};
    }
}

IoResult send_some(Socket s, const char *data, size_t len, int timeout_ms) {
    for (;;) {
        const int ready = wait_for(fd(s), POLLOUT, timeout_ms);
        if (ready <= 0) return {ready == 0 ? Io::timeout : Io::failed};
        // MSG_NOSIGNAL: a peer that has gone fails the send instead of killing the process.
        const ssize_t n = ::send(fd(s), data, len, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0) return {Io::done, static_cast<size_t>(n)};
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return {failure(errno)};
    }
}

bool send_all(Socket s, std::string_view bytes, int timeout_ms) {
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!bytes.empty()) {
        int left = timeout_ms;
        if (timeout_ms >= 0) {
            const auto ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            left = ms > 0 ? static_cast<int>(ms) : 0;
        }
        const IoResult r = send_some(s, bytes.data(), bytes.size(), left);
        if (r.status != Io::done) return false;
        bytes.remove_prefix(r.bytes);
    }
    return true;
}

int wait_readable(Socket s, int timeout_ms) {
    return wait_for(fd(s), POLLIN, timeout_ms);
}

int wait_writable(Socket s, int timeout_ms) {
    return wait_for(fd(s), POLLOUT, timeout_ms);
}

int poll(std::span<PollItem> items, int timeout_ms) {
    // A batch on the stack keeps the usual wait free of allocation (the
    // stream server's); larger sets take the heap.
    constexpr size_t kOnStack = 64;
    pollfd stack[kOnStack];
    std::vector<pollfd> heap(items.size() > kOnStack ? items.size() : 0);
    pollfd *entries = heap.empty() ? stack : heap.data();
    for (size_t i = 0; i < items.size(); ++i)
        entries[i] = {fd(items[i].socket), static_cast<short>(POLLIN | (items[i].want_write ? POLLOUT : 0)),
                      0};
    const int n = ::poll(entries, items.size(), timeout_ms);
    if (n < 0) return errno == EINTR ? 0 : -1;
    for (size_t i = 0; i < items.size(); ++i) {
        items[i].readable = (entries[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
        items[i].writable = (entries[i].revents & (POLLOUT | POLLERR)) != 0;
    }
    return n;
}

bool set_nonblocking(Socket s, bool on) {
    const int flags = fcntl(fd(s), F_GETFL, 0);
    return flags >= 0 && fcntl(fd(s), F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
}

void close_socket(Socket s) {
    if (s != kInvalidSocket) ::close(fd(s));
}

void reset_socket(Socket s) {
    if (s == kInvalidSocket) return;
    const linger option{1, 0};
    setsockopt(fd(s), SOL_SOCKET, SO_LINGER, &option, sizeof option);
    ::close(fd(s));
}

bool resets_read_as_closes() {
    return false;
}

} // namespace mvnet
