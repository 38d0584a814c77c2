// A thread that keeps one end of a connection fed with the same line, for the
// benches of the reading side.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "net/net.h"

namespace mvbench {

// Sends line + "\n" again and again until destroyed or the peer goes. The
// socket is made non-blocking, so that a stop never waits for a full buffer.
class LineFeeder {
  public:
    // mark_thread runs first on the feeder's thread (a bench marks it as its own).
    LineFeeder(mvnet::Socket s, const std::string &line, void (*mark_thread)() = nullptr);
    ~LineFeeder();
    LineFeeder(const LineFeeder &) = delete;
    LineFeeder &operator=(const LineFeeder &) = delete;

  private:
    mvnet::Socket socket_;
    std::string block_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace mvbench
