// A connected TCP pair on 127.0.0.1 and a thread that keeps one end fed with
// the same line, for benches of the reading side.
#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace mvbench {

struct LoopbackPair {
    int reader = -1; // the accepted end
    int writer = -1; // the connecting end
    LoopbackPair();
    ~LoopbackPair();
    LoopbackPair(const LoopbackPair &) = delete;
    LoopbackPair &operator=(const LoopbackPair &) = delete;
};

// Sends line + "\n" again and again until stopped or the peer goes.
class LineFeeder {
  public:
    LineFeeder(int fd, std::string line);
    ~LineFeeder();
    LineFeeder(const LineFeeder &) = delete;
    LineFeeder &operator=(const LineFeeder &) = delete;

  private:
    int fd_;
    std::string bytes_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A listening socket on 127.0.0.1 with a port chosen by the system.
int listen_loopback(int backlog, int *port);

} // namespace mvbench
