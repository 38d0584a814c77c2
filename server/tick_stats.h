// Tick times over a window (p50, p99, max), for the periodic load line.
#pragma once

#include <cstddef>
#include <vector>

namespace mvserver {

class TickStats {
  public:
    void add(double ms) { samples_.push_back(ms); }
    struct Summary {
        size_t ticks = 0;
        double p50 = 0, p99 = 0, max = 0;
    };
    // The window's figures; the window starts again.
    Summary take();

  private:
    std::vector<double> samples_;
};

} // namespace mvserver
