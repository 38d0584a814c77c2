#include "tap.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

#include "common/net.h"

namespace mvtools {

Tap::Tap(std::string server_host, uint16_t server_port, WireCheck &check, std::mutex &mutex)
    : host_(std::move(server_host)), server_port_(server_port), check_(check), mutex_(mutex) {}

Tap::~Tap() {
    stop();
}

bool Tap::start(std::string *error) {
    listener_ = net::listen_tcp("127.0.0.1", 0, &port_, error);
    if (listener_ < 0) return false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void Tap::stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    net::close_fd(listener_);
    listener_ = -1;
}

double Tap::now() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Tap::run() {
    int plugin = -1;
    int server = -1;
    auto close_link = [&](bool by_server) {
        net::close_fd(plugin);
        net::close_fd(server);
        plugin = server = -1;
        std::lock_guard lock(mutex_);
        check_.closed(now(), by_server);
    };
    char buf[8192];
    while (!stop_.load()) {
        pollfd fds[3] = {{listener_, POLLIN, 0}, {plugin, POLLIN, 0}, {server, POLLIN, 0}};
        if (poll(fds, 3, 50) < 0 && errno != EINTR) break;
        if (fds[0].revents & POLLIN) {
            std::string peer;
            const int fd = net::accept_client(listener_, &peer);
            if (fd >= 0) {
                // The plugin keeps one link; a new one means the old is over.
                if (plugin >= 0) close_link(false);
                {
                    std::lock_guard lock(mutex_);
                    check_.plugin_connected(now());
                }
                std::string error;
                server = net::connect_tcp(host_, server_port_, 5000, &error);
                if (server < 0) {
                    net::close_fd(fd);
                    std::lock_guard lock(mutex_);
                    check_.upstream_failed(now(), error);
                } else {
                    plugin = fd;
                }
            }
        }
        // Relay one direction; false when that side has closed.
        auto relay = [&](int from, int to, bool from_server) {
            const ssize_t n = recv(from, buf, sizeof buf, 0);
            if (n <= 0) return false;
            {
                std::lock_guard lock(mutex_);
                const std::string_view bytes(buf, static_cast<size_t>(n));
                if (from_server)
                    check_.server_bytes(now(), bytes);
                else
                    check_.plugin_bytes(now(), bytes);
            }
            return net::send_all(to, std::string_view(buf, static_cast<size_t>(n)), 5000);
        };
        if (plugin >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) && !relay(plugin, server, false))
            close_link(false);
        else if (server >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) &&
                 !relay(server, plugin, true))
            close_link(true);
    }
    if (plugin >= 0) close_link(false);
}

} // namespace mvtools
