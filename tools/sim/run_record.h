// What one run of the simulator leaves for a later comparison: its click
// figures, its lines and envelopes, and its report, in a text file, so that
// runs of the same scenario with different settings can be set side by side.
#pragma once

#include <string>
#include <vector>

#include "sim/clicks.h"
#include "sim/picture.h"

namespace mvtools {

struct RunRecord {
    std::string label; // the setting that tells the runs apart, e.g. "smoothing_ms=20"
    std::string title; // the picture's
    double t_end = 0;
    ClickMeter::Result clicks;
    std::vector<Series> series;
    // Each speaker's channels round a change (the update kDetailUpdate): the
    // change comes kDetailLeadMs into them.
    std::vector<Envelope> envelopes;
    std::vector<std::string> report;
    double started = 0; // wall-clock time of the first audio block, seconds since 1970; 0: unknown
};

inline constexpr size_t kDetailUpdate = 20;
inline constexpr size_t kDetailLeadMs = 20;
inline constexpr size_t kDetailMs = 300;

bool save_run(const RunRecord &run, const std::string &path);
bool load_run(const std::string &path, RunRecord *run, std::string *error);

// The runs side by side: the click figures of each, then each run's report.
[[nodiscard]] std::vector<std::string> compare_report(const std::vector<RunRecord> &runs);
// The lines of the last run, and each run's envelope of the channel that
// changes most round the change in the first run.
[[nodiscard]] Picture compare_picture(const std::vector<RunRecord> &runs);

} // namespace mvtools
