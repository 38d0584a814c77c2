// The address of a falloff server that never answers: a listener on 127.0.0.1
// that never accepts and whose accept queue is full, so that the system drops
// further handshakes and a connect to it stays in progress until it gives up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "os_probe.h"
#include "platform/platform.h"

namespace mvtest {

class BlackholeListener {
  public:
    BlackholeListener() {
        namespace p = mv::platform;
        p::net_startup();
        net::close_socket(net::listen_loopback(&port_)); // a port free a moment ago
        listener_ = listen_loopback_at(port_, 0);
        p::AddressList *address = p::resolve("127.0.0.1", std::to_string(port_).c_str());
        // 64 connects fill any queue that a backlog of 0 gives.
        for (int i = 0; i < 64 && listener_ != net::kInvalidSocket && address != nullptr && !ready_; ++i) {
            bool stopped = false;
            const p::Socket s = p::connect_first(address, nullptr, 1000, &stopped);
            if (s == p::kInvalidSocket) {
                ready_ = true;
            } else {
                queued_.push_back(s);
            }
        }
        p::free_addresses(address);
    }
    ~BlackholeListener() {
        for (mv::platform::Socket s : queued_)
            mv::platform::close_socket(s);
        net::close_socket(listener_);
        mv::platform::net_cleanup();
    }
    BlackholeListener(const BlackholeListener &) = delete;
    BlackholeListener &operator=(const BlackholeListener &) = delete;

    // True once the queue is full: a new connect no longer completes.
    [[nodiscard]] bool ready() const { return ready_; }
    [[nodiscard]] uint16_t port() const { return port_; }

  private:
    net::Socket listener_ = net::kInvalidSocket;
    std::vector<mv::platform::Socket> queued_; // the connections that filled the queue
    uint16_t port_ = 0;
    bool ready_ = false;
};

} // namespace mvtest
