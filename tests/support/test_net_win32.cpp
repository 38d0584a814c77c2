// Winsock for the scripted falloff server.
#if defined(_WIN32)

#include <mutex>
#include <winsock2.h>
#include <ws2tcpip.h>

#include "test_net.h"

namespace mvtest::net {
namespace {

// Started once and never cleaned up: the plugin's own WSAStartup/WSACleanup
// pairs are counted separately by Winsock.
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

} // namespace

Socket listen_loopback(uint16_t *port) {
    start_winsock();
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return kInvalidSocket;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int length = sizeof address;
    if (bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(s, 16) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        closesocket(s);
        return kInvalidSocket;
    }
    *port = ntohs(address.sin_port);
    return static_cast<Socket>(s);
}

int wait_readable(Socket s, int timeout_ms) {
    WSAPOLLFD entry{raw(s), POLLRDNORM, 0};
    const int n = WSAPoll(&entry, 1, timeout_ms);
    if (n == SOCKET_ERROR) return -1;
    return n > 0 ? 1 : 0;
}

Socket accept_one(Socket listener) {
    const SOCKET s = accept(raw(listener), nullptr, nullptr);
    return s == INVALID_SOCKET ? kInvalidSocket : static_cast<Socket>(s);
}

long receive(Socket s, char *buf, size_t cap) {
    const int n = recv(raw(s), buf, static_cast<int>(cap), 0);
    return n == SOCKET_ERROR ? -1 : static_cast<long>(n);
}

bool send_all(Socket s, const char *data, size_t len) {
    while (len > 0) {
        const int n = send(raw(s), data, static_cast<int>(len), 0);
        if (n == SOCKET_ERROR) return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

void close_socket(Socket s) {
    if (s != kInvalidSocket) closesocket(raw(s));
}

void reset_socket(Socket s) {
    if (s == kInvalidSocket) return;
    linger option{1, 0};
    setsockopt(raw(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&option), sizeof option);
    closesocket(raw(s));
}

} // namespace mvtest::net

#endif
