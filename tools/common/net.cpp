#include "net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace mvtools::net {

int listen_tcp(const std::string &address, uint16_t port, uint16_t *bound_port, std::string *error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST;
    addrinfo *list = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = getaddrinfo(address.c_str(), service.c_str(), &hints, &list); rc != 0) {
        *error = "bad listen address " + address + ": " + gai_strerror(rc);
        return -1;
    }
    int fd = socket(list->ai_family, list->ai_socktype, list->ai_protocol);
    const int one = 1;
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 || bind(fd, list->ai_addr, list->ai_addrlen) != 0 || listen(fd, 16) != 0) {
        *error = "cannot listen on " + address + ":" + service + ": " + std::strerror(errno);
        if (fd >= 0) close(fd);
        freeaddrinfo(list);
        return -1;
    }
    freeaddrinfo(list);
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &len);
    *bound_port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port
                                                    : reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
    return fd;
}

int connect_tcp(const std::string &host, uint16_t port, int timeout_ms, std::string *error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo *list = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &list); rc != 0) {
        *error = "cannot resolve " + host + ": " + gai_strerror(rc);
        return -1;
    }
    int fd = -1;
    *error = "no address of " + host;
    for (addrinfo *a = list; a != nullptr; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd < 0) continue;
        set_nonblocking(fd);
        int rc = connect(fd, a->ai_addr, a->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, timeout_ms) == 1) {
                int so_error = 0;
                socklen_t len = sizeof so_error;
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len);
                rc = so_error == 0 ? 0 : -1;
                errno = so_error;
            } else {
                errno = ETIMEDOUT;
            }
        }
        if (rc == 0) break;
        *error = "cannot connect to " + host + ":" + service + ": " + std::strerror(errno);
        close(fd);
        fd = -1;
    }
    freeaddrinfo(list);
    if (fd >= 0) {
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return fd;
}

int accept_client(int listener, std::string *peer) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    const int fd = accept(listener, reinterpret_cast<sockaddr *>(&addr), &len);
    if (fd < 0) return -1;
    char host[NI_MAXHOST] = "?";
    char serv[NI_MAXSERV] = "?";
    getnameinfo(reinterpret_cast<sockaddr *>(&addr), len, host, sizeof host, serv, sizeof serv,
                NI_NUMERICHOST | NI_NUMERICSERV);
    *peer = std::string(host) + ":" + serv;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool set_nonblocking(int fd) {
    const int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool send_all(int fd, std::string_view bytes, int timeout_ms) {
    while (!bytes.empty()) {
        const ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n > 0) {
            bytes.remove_prefix(static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, timeout_ms) != 1) return false;
            continue;
        }
        return false;
    }
    return true;
}

int wait_readable(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    const int rc = poll(&p, 1, timeout_ms);
    if (rc < 0) return errno == EINTR ? 0 : -1;
    return rc;
}

void close_fd(int fd) {
    if (fd >= 0) close(fd);
}

} // namespace mvtools::net
