// POSIX sockets for the scripted falloff server.
#if !defined(_WIN32)

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "test_net.h"

namespace mvtest::net {

Socket listen_loopback(uint16_t *port) {
    const int s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s < 0) return kInvalidSocket;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(s, 16) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ::close(s);
        return kInvalidSocket;
    }
    *port = ntohs(address.sin_port);
    return s;
}

int wait_readable(Socket s, int timeout_ms) {
    pollfd entry{static_cast<int>(s), POLLIN, 0};
    const int n = poll(&entry, 1, timeout_ms);
    if (n < 0) return errno == EINTR ? 0 : -1;
    return n > 0 ? 1 : 0;
}

Socket accept_one(Socket listener) {
    const int s = accept(static_cast<int>(listener), nullptr, nullptr);
    return s < 0 ? kInvalidSocket : s;
}

long receive(Socket s, char *buf, size_t cap) {
    for (;;) {
        const ssize_t n = recv(static_cast<int>(s), buf, cap, 0);
        if (n >= 0) return static_cast<long>(n);
        if (errno != EINTR) return -1;
    }
}

bool send_all(Socket s, const char *data, size_t len) {
    while (len > 0) {
        // MSG_NOSIGNAL: a peer that has gone must fail the send, not kill the tests.
        const ssize_t n = send(static_cast<int>(s), data, len, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

void close_socket(Socket s) {
    if (s != kInvalidSocket) ::close(static_cast<int>(s));
}

void reset_socket(Socket s) {
    if (s == kInvalidSocket) return;
    linger option{1, 0};
    setsockopt(static_cast<int>(s), SOL_SOCKET, SO_LINGER, &option, sizeof option);
    ::close(static_cast<int>(s));
}

} // namespace mvtest::net

#endif
