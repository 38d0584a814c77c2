// One run of the simulator as the program shows it: the live table and the
// recent events while it runs, then the report, the files and the verdict.
#pragma once

#include <atomic>
#include <string>

#include "sim/simulation.h"

namespace mvtools {

struct LiveOptions {
    double seconds = 15;
    double interval = 2; // between tables when not on a terminal
    std::string wav, svg, report, save_run;
};

// Runs until options.seconds have passed or stop is set; the exit status.
int run_live(const SimConfig &config, const LiveOptions &options, const std::atomic<bool> &stop);

} // namespace mvtools
