// A relay between the plugin and the falloff server on 127.0.0.1: the plugin
// connects to the tap, the tap connects on to the real server and passes
// every byte through unchanged, showing both directions to a WireCheck.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "net/net.h"
#include "sim/wire_check.h"

namespace mvtools {

class Tap {
  public:
    // check is shared with readers; every call into it holds mutex.
    Tap(std::string server_host, uint16_t server_port, WireCheck &check, std::mutex &mutex);
    ~Tap();
    Tap(const Tap &) = delete;
    Tap &operator=(const Tap &) = delete;

    bool start(std::string *error);
    [[nodiscard]] uint16_t port() const { return port_; }
    void stop();
    // Seconds since the tap was made: the time of the check's events.
    [[nodiscard]] double now() const;
    // Updates handed on to the plugin in full so far.
    [[nodiscard]] size_t updates_relayed() const { return updates_relayed_.load(); }

  private:
    void run();

    std::string host_;
    uint16_t server_port_;
    WireCheck &check_;
    std::mutex &mutex_;
    mvnet::UniqueSocket listener_;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> updates_relayed_{0};
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::thread thread_;
};

} // namespace mvtools
