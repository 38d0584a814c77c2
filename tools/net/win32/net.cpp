// Winsock.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <mutex>
#include <vector>

#include "net/net.h"

namespace mvnet {
namespace {

// Started once and never cleaned up: other users of Winsock in the process
// (the plugin) pair their own start-ups and clean-ups, which Winsock counts.
void start_winsock() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    });
}

SOCKET raw(Socket s) {
    return static_cast<SOCKET>(s);
}

void set_error(std::string *error, std::string text) {
    if (error != nullptr) *error = std::move(text);
}

std::string error_text(int code) {
    char buf[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(code), 0, buf, sizeof buf, nullptr);
    std::string text(buf, n);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return "error " + std::to_string(code) + (text.empty() ? "" : " (" + text + ")");
}

SOCKET new_socket(int family, int type, int protocol) {
    start_winsock();
    const SOCKET s = socket(family, type, protocol);
    if (s != INVALID_SOCKET) set_nonblocking(static_cast<Socket>(s), true);
    return s;
}

void set_nodelay(SOCKET s) {
    const BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
}

int clamp_int(size_t n) {
    return n > 0x7fffffff ? 0x7fffffff : static_cast<int>(n);
}

int wait_for(SOCKET s, short events, int timeout_ms) {
    WSAPOLLFD entry{s, events, 0};
    const int n = WSAPoll(&entry, 1, timeout_ms);
    if (n == SOCKET_ERROR) return -1;
    return n > 0 ? 1 : 0;
}

// WSAPoll does not report a connect that failed on every Windows release;
// select() does, through its exception set.
int wait_connected(SOCKET s, int timeout_ms) {
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    const int n = select(0, nullptr, &writable, &failed, timeout_ms < 0 ? nullptr : &limit);
    if (n <= 0) return n == 0 ? WSAETIMEDOUT : WSAGetLastError();
    int so_error = 0;
    int length = sizeof so_error;
    getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&so_error), &length);
    return FD_ISSET(s, &failed) && so_error == 0 ? WSAECONNREFUSED : so_error;
}

Io failure(int error) {
    return error == WSAECONNRESET || error == WSAECONNABORTED ? Io::reset : Io::failed;
}

// reuse: SO_REUSEADDR, which on Windows also lets another program bind the
// port; only the tests' fixed-port listeners ask for it, to take a port that
// was in use a moment ago.
Socket listen_on(std::string_view address, uint16_t port, int backlog, uint16_t *bound_port,
                 std::string *error, bool reuse) {
    start_winsock();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST;
    addrinfo *list = nullptr;
    const std::string host(address);
    const std::string service = std::to_string(port);
    if (const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &list); rc != 0) {
        set_error(error, "bad listen address " + host + ": " + error_text(rc));
        return kInvalidSocket;
    }
    const SOCKET s = new_socket(list->ai_family, list->ai_socktype, list->ai_protocol);
    const BOOL one = TRUE;
    if (s != INVALID_SOCKET && reuse)
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&one), sizeof one);
    if (s == INVALID_SOCKET || bind(s, list->ai_addr, static_cast<int>(list->ai_addrlen)) != 0 ||
        (backlog >= 0 && listen(s, backlog) != 0)) {
        set_error(error, "cannot listen on " + host + ":" + service + ": " + error_text(WSAGetLastError()));
        if (s != INVALID_SOCKET) closesocket(s);
        freeaddrinfo(list);
        return kInvalidSocket;
    }
    freeaddrinfo(list);
    sockaddr_storage bound{};
    int length = sizeof bound;
    getsockname(s, reinterpret_cast<sockaddr *>(&bound), &length);
    if (bound_port != nullptr)
        *bound_port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port
                                                        : reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
    return static_cast<Socket>(s);
}

} // namespace

Socket listen_tcp(std::string_view address, uint16_t port, int backlog, uint16_t *bound_port,
                  std::string *error) {
    return listen_on(address, port, backlog, bound_port, error, false);
}

Socket listen_loopback(uint16_t *port, int backlog) {
    return listen_on("127.0.0.1", 0, backlog, port, nullptr, false);
}

Socket listen_loopback_at(uint16_t port, int backlog) {
    return listen_on("127.0.0.1", port, backlog, nullptr, nullptr, true);
}

Socket bind_loopback(uint16_t *port) {
    return listen_on("127.0.0.1", 0, -1, port, nullptr, false);
}

bool start_listening(Socket s, int backlog) {
    return ::listen(static_cast<SOCKET>(s), backlog) == 0;
}

Socket accept_one(Socket listener, int timeout_ms, std::string *peer) {
    if (wait_for(raw(listener), POLLRDNORM, timeout_ms) != 1) return kInvalidSocket;
    sockaddr_storage address{};
    int length = sizeof address;
    const SOCKET s = accept(raw(listener), reinterpret_cast<sockaddr *>(&address), &length);
    if (s == INVALID_SOCKET) return kInvalidSocket;
    set_nonblocking(static_cast<Socket>(s), true);
    set_nodelay(s);
    if (peer != nullptr) {
        char host[NI_MAXHOST] = "?";
        char service[NI_MAXSERV] = "?";
        getnameinfo(reinterpret_cast<sockaddr *>(&address), length, host, sizeof host, service,
                    sizeof service, NI_NUMERICHOST | NI_NUMERICSERV);
        *peer = std::string(host) + ":" + service;
    }
    return static_cast<Socket>(s);
}

Socket connect_tcp(std::string_view host, uint16_t port, int timeout_ms, std::string *error) {
    start_winsock();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo *list = nullptr;
    const std::string name(host);
    const std::string service = std::to_string(port);
    if (const int rc = getaddrinfo(name.c_str(), service.c_str(), &hints, &list); rc != 0) {
        set_error(error, "cannot resolve " + name + ": " + error_text(rc));
        return kInvalidSocket;
    }
    SOCKET s = INVALID_SOCKET;
    set_error(error, "no address of " + name);
    for (const addrinfo *a = list; a != nullptr; a = a->ai_next) {
        s = new_socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET) continue;
        int code = 0;
        if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
            code = WSAGetLastError();
            if (code == WSAEWOULDBLOCK) code = wait_connected(s, timeout_ms);
        }
        if (code == 0) break;
        set_error(error, "cannot connect to " + name + ":" + service + ": " + error_text(code));
        closesocket(s);
        s = INVALID_SOCKET;
    }
    freeaddrinfo(list);
    if (s == INVALID_SOCKET) return kInvalidSocket;
    set_nodelay(s);
    return static_cast<Socket>(s);
}

IoResult receive(Socket s, char *buf, size_t cap, int timeout_ms) {
    for (;;) {
        const int ready = wait_for(raw(s), POLLRDNORM, timeout_ms);
        if (ready <= 0) return {ready == 0 ? Io::timeout : Io::failed};
        const int n = recv(raw(s), buf, clamp_int(cap), 0);
        if (n > 0) return {Io::done, static_cast<size_t>(n)};
        if (n == 0) return {cap == 0 ? Io::done : Io::closed};
        const int code = WSAGetLastError();
        if (code != WSAEWOULDBLOCK && code != WSAEINTR) return {failure(code)};
    }
}

IoResult send_some(Socket s, const char *data, size_t len, int timeout_ms) {
    for (;;) {
        const int ready = wait_for(raw(s), POLLWRNORM, timeout_ms);
        if (ready <= 0) return {ready == 0 ? Io::timeout : Io::failed};
        const int n = send(raw(s), data, clamp_int(len), 0);
        if (n >= 0) return {Io::done, static_cast<size_t>(n)};
        const int code = WSAGetLastError();
        if (code != WSAEWOULDBLOCK && code != WSAEINTR) return {failure(code)};
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
    return wait_for(raw(s), POLLRDNORM, timeout_ms);
}

int wait_writable(Socket s, int timeout_ms) {
    return wait_for(raw(s), POLLWRNORM, timeout_ms);
}

int poll(std::span<PollItem> items, int timeout_ms) {
    // WSAPoll refuses invalid sockets, so only the valid ones are passed.
    std::vector<WSAPOLLFD> entries;
    std::vector<size_t> index;
    entries.reserve(items.size());
    index.reserve(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        items[i].readable = items[i].writable = false;
        if (items[i].socket == kInvalidSocket) continue;
        entries.push_back({raw(items[i].socket),
                           static_cast<short>(POLLRDNORM | (items[i].want_write ? POLLWRNORM : 0)), 0});
        index.push_back(i);
    }
    if (entries.empty()) {
        Sleep(timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms));
        return 0;
    }
    const int n = WSAPoll(entries.data(), static_cast<ULONG>(entries.size()), timeout_ms);
    if (n == SOCKET_ERROR) return -1;
    for (size_t k = 0; k < entries.size(); ++k) {
        PollItem &item = items[index[k]];
        item.readable = (entries[k].revents & (POLLRDNORM | POLLHUP | POLLERR)) != 0;
        item.writable = (entries[k].revents & (POLLWRNORM | POLLERR)) != 0;
    }
    return n;
}

bool set_nonblocking(Socket s, bool on) {
    u_long mode = on ? 1 : 0;
    return ioctlsocket(raw(s), FIONBIO, &mode) == 0;
}

void close_socket(Socket s) {
    if (s != kInvalidSocket) closesocket(raw(s));
}

void reset_socket(Socket s) {
    if (s == kInvalidSocket) return;
    const linger option{1, 0};
    setsockopt(raw(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&option), sizeof option);
    closesocket(raw(s));
}

bool resets_read_as_closes() {
    // Wine's recv() answers a reset with 0; Wine is known by its own export.
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

} // namespace mvnet
