#include "net/fixtures.h"

namespace mvnet {

BlackholeListener::BlackholeListener(int probe_ms) {
    listener_.adopt(listen_loopback(&port_, 0));
    // A backlog of 0 queues one connection or a few; 64 fill any queue it gives.
    for (int i = 0; i < 64 && listener_.valid() && !ready_; ++i) {
        UniqueSocket s(connect_tcp("127.0.0.1", port_, probe_ms));
        if (s.valid()) {
            queued_.push_back(std::move(s));
        } else {
            ready_ = true;
        }
    }
}

Socket RefusedPort::listen(int backlog) {
    if (!socket_.valid() || !start_listening(socket_.get(), backlog)) return kInvalidSocket;
    return socket_.release();
}

LoopbackPair::LoopbackPair() {
    uint16_t port = 0;
    const UniqueSocket listener(listen_loopback(&port, 1));
    if (!listener.valid()) return;
    writer = connect_tcp("127.0.0.1", port, 5000);
    if (writer != kInvalidSocket) reader = accept_one(listener.get(), 5000);
    if (!ok()) return;
    set_nonblocking(reader, false);
    set_nonblocking(writer, false);
}

LoopbackPair::~LoopbackPair() {
    close_socket(reader);
    close_socket(writer);
}

} // namespace mvnet
