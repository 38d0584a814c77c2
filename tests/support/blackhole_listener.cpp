#include "blackhole_listener.h"

#if defined(_WIN32)
#include <mutex>
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace mvtest {
namespace {

// Enough to fill any accept queue that a backlog of 0 gives.
constexpr int kMaxQueued = 64;
constexpr int kConnectWaitMs = 1000;

#if defined(_WIN32)
using Raw = SOCKET;
constexpr Raw kNoRaw = INVALID_SOCKET;
void start_net() {
    // Never cleaned up, like the scripted server's: Winsock counts its users.
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    });
}
void close_raw(Raw s) {
    closesocket(s);
}
bool set_nonblocking(Raw s) {
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
}
bool connect_pending() {
    return WSAGetLastError() == WSAEWOULDBLOCK;
}
int wait_writable(Raw s, int timeout_ms) {
    WSAPOLLFD entry{s, POLLWRNORM, 0};
    const int n = WSAPoll(&entry, 1, timeout_ms);
    if (n <= 0) return n;
    return (entry.revents & (POLLERR | POLLHUP)) != 0 ? -1 : 1;
}
#else
using Raw = int;
constexpr Raw kNoRaw = -1;
void start_net() {}
void close_raw(Raw s) {
    close(s);
}
bool set_nonblocking(Raw s) {
    const int flags = fcntl(s, F_GETFL);
    return flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}
bool connect_pending() {
    return errno == EINPROGRESS;
}
int wait_writable(Raw s, int timeout_ms) {
    pollfd entry{s, POLLOUT, 0};
    const int n = poll(&entry, 1, timeout_ms);
    if (n <= 0) return n;
    return (entry.revents & (POLLERR | POLLHUP)) != 0 ? -1 : 1;
}
#endif

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// A connect that completes within the wait, or kNoRaw.
Raw connect_within(uint16_t port, int timeout_ms) {
    const Raw s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == kNoRaw) return kNoRaw;
    const sockaddr_in address = loopback(port);
    if (!set_nonblocking(s)) {
        close_raw(s);
        return kNoRaw;
    }
    if (connect(s, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) return s;
    if (connect_pending() && wait_writable(s, timeout_ms) == 1) return s;
    close_raw(s);
    return kNoRaw;
}

} // namespace

BlackholeListener::BlackholeListener() {
    start_net();
    const Raw s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == kNoRaw) return;
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (bind(s, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 || listen(s, 0) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        close_raw(s);
        return;
    }
    listener_ = static_cast<net::Socket>(s);
    port_ = ntohs(address.sin_port);
    for (int i = 0; i < kMaxQueued; ++i) {
        const Raw queued = connect_within(port_, kConnectWaitMs);
        if (queued == kNoRaw) {
            ready_ = true;
            break;
        }
        queued_.push_back(static_cast<net::Socket>(queued));
    }
}

BlackholeListener::~BlackholeListener() {
    for (net::Socket s : queued_)
        net::close_socket(s);
    net::close_socket(listener_);
}

} // namespace mvtest
