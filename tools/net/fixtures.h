// Ready-made endpoints for tests and benches, built on net.h: a listener that
// never answers, a port where nothing listens, and a connected pair.
#pragma once

#include <cstdint>
#include <vector>

#include "net/net.h"

namespace mvnet {

// A listener on 127.0.0.1 that never accepts and whose accept queue is full,
// so that the system drops further handshakes and a connect to it stays in
// progress until the connecting side gives up.
class BlackholeListener {
  public:
    // probe_ms: how long a connect may take before the queue counts as full.
    explicit BlackholeListener(int probe_ms = 1000);
    BlackholeListener(const BlackholeListener &) = delete;
    BlackholeListener &operator=(const BlackholeListener &) = delete;

    // True once the queue is full: a new connect no longer completes.
    [[nodiscard]] bool ready() const { return ready_; }
    [[nodiscard]] uint16_t port() const { return port_; }

  private:
    UniqueSocket listener_;
    std::vector<UniqueSocket> queued_; // the connections that fill the queue
    uint16_t port_ = 0;
    bool ready_ = false;
};

// A port on 127.0.0.1 where nothing listens, so that a connect to it is
// refused, and that stays so for as long as this lives: the port is held by a
// bound socket, so that no other test's server can be handed it meanwhile
// (tests run side by side). listen() turns it into a listener on that port.
class RefusedPort {
  public:
    RefusedPort() : socket_(bind_loopback(&port_)) {}
    [[nodiscard]] uint16_t port() const { return port_; }
    // Hands the socket over, listening; invalid when that fails.
    [[nodiscard]] Socket listen(int backlog = 16);

  private:
    uint16_t port_ = 0; // before socket_, whose initialiser sets it
    UniqueSocket socket_;
};

// A connected TCP pair on 127.0.0.1. Both ends are blocking, as plain sockets
// are, so that code under test may use them directly; the writer sends without
// delay (TCP_NODELAY).
class LoopbackPair {
  public:
    LoopbackPair();
    ~LoopbackPair();
    LoopbackPair(const LoopbackPair &) = delete;
    LoopbackPair &operator=(const LoopbackPair &) = delete;

    [[nodiscard]] bool ok() const { return reader != kInvalidSocket && writer != kInvalidSocket; }

    Socket reader = kInvalidSocket; // the accepted end
    Socket writer = kInvalidSocket; // the connecting end
};

} // namespace mvnet
