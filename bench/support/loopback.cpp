#include "loopback.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

#include "probes.h"

namespace mvbench {

int listen_loopback(int backlog, int *port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) throw std::runtime_error("socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        throw std::runtime_error("listen");
    *port = ntohs(addr.sin_port);
    return fd;
}

LoopbackPair::LoopbackPair() {
    int port = 0;
    const int listener = listen_loopback(1, &port);
    writer = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(writer, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        throw std::runtime_error("connect");
    reader = accept(listener, nullptr, nullptr);
    close(listener);
    if (reader < 0) throw std::runtime_error("accept");
    const int one = 1;
    setsockopt(writer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

LoopbackPair::~LoopbackPair() {
    if (reader >= 0) close(reader);
    if (writer >= 0) close(writer);
}

LineFeeder::LineFeeder(int fd, std::string line) : fd_(fd), bytes_(std::move(line) + "\n") {
    thread_ = std::thread([this] {
        set_thread_role(Role::bench);
        // Many copies per send, as a busy server's socket buffer would hold them.
        std::string block;
        while (block.size() < 64 * 1024)
            block += bytes_;
        size_t offset = 0;
        while (!stop_.load(std::memory_order_relaxed)) {
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const ssize_t n =
                ::send(fd_, block.data() + offset, block.size() - offset, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR) continue;
                return;
            }
            offset = (offset + static_cast<size_t>(n)) % block.size();
        }
    });
}

LineFeeder::~LineFeeder() {
    stop_.store(true);
    thread_.join();
}

} // namespace mvbench
