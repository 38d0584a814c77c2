#include "tap.h"

namespace mvtools {

Tap::Tap(std::string server_host, uint16_t server_port, WireCheck &check, std::mutex &mutex)
    : host_(std::move(server_host)), server_port_(server_port), check_(check), mutex_(mutex) {}

Tap::~Tap() {
    stop();
}

bool Tap::start(std::string *error) {
    listener_.adopt(mvnet::listen_tcp("127.0.0.1", 0, 16, &port_, error));
    if (!listener_.valid()) return false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void Tap::stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    listener_.adopt(mvnet::kInvalidSocket);
}

double Tap::now() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Tap::run() {
    mvnet::UniqueSocket plugin;
    mvnet::UniqueSocket server;
    auto close_link = [&](bool by_server) {
        plugin.adopt(mvnet::kInvalidSocket);
        server.adopt(mvnet::kInvalidSocket);
        std::lock_guard lock(mutex_);
        check_.closed(now(), by_server);
    };
    char buf[8192];
    while (!stop_.load()) {
        mvnet::PollItem items[3] = {{listener_.get()}, {plugin.get()}, {server.get()}};
        if (mvnet::poll(items, 50) < 0) break;
        if (items[0].readable) {
            mvnet::UniqueSocket accepted(mvnet::accept_one(listener_.get(), 0));
            if (accepted.valid()) {
                // The plugin keeps one link; a new one means the old is over.
                if (plugin.valid()) close_link(false);
                {
                    std::lock_guard lock(mutex_);
                    check_.plugin_connected(now());
                }
                std::string error;
                server.adopt(mvnet::connect_tcp(host_, server_port_, 5000, &error));
                if (!server.valid()) {
                    std::lock_guard lock(mutex_);
                    check_.upstream_failed(now(), error);
                } else {
                    plugin = std::move(accepted);
                }
            }
        }
        // Relay one direction; false when that side has closed.
        auto relay = [&](mvnet::Socket from, mvnet::Socket to, bool from_server) {
            const mvnet::IoResult r = mvnet::receive(from, buf, sizeof buf, 0);
            if (r.status == mvnet::Io::timeout) return true;
            if (r.status != mvnet::Io::done) return false;
            const std::string_view bytes(buf, r.bytes);
            size_t updates = 0;
            {
                std::lock_guard lock(mutex_);
                if (from_server)
                    check_.server_bytes(now(), bytes);
                else
                    check_.plugin_bytes(now(), bytes);
                updates = check_.updates();
            }
            const bool sent = mvnet::send_all(to, bytes, 5000);
            // Only now can the plugin act on them.
            if (from_server) updates_relayed_.store(updates);
            return sent;
        };
        if (plugin.valid() && items[1].readable && !relay(plugin.get(), server.get(), false))
            close_link(false);
        else if (server.valid() && items[2].readable && !relay(server.get(), plugin.get(), true))
            close_link(true);
    }
    if (plugin.valid()) close_link(false);
}

} // namespace mvtools
