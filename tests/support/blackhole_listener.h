// The address of a falloff server that never answers: a listener on 127.0.0.1
// that never accepts and whose accept queue is full, so that the system drops
// further handshakes and a connect to it stays in progress until it gives up.
#pragma once

#include <cstdint>
#include <vector>

#include "test_net.h"

namespace mvtest {

class BlackholeListener {
  public:
    BlackholeListener();
    ~BlackholeListener();
    BlackholeListener(const BlackholeListener &) = delete;
    BlackholeListener &operator=(const BlackholeListener &) = delete;

    // True once the queue is full: a new connect no longer completes.
    [[nodiscard]] bool ready() const { return ready_; }
    [[nodiscard]] uint16_t port() const { return port_; }

  private:
    net::Socket listener_ = net::kInvalidSocket;
    std::vector<net::Socket> queued_; // the connections that filled the queue
    uint16_t port_ = 0;
    bool ready_ = false;
};

} // namespace mvtest
