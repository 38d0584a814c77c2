// One run of the load generator: the server started as a child, N plugin
// links connected from their own loopback addresses with the real handshake,
// the crowd fed through the control port at 10 Hz, every update read and
// parsed, and the figures of the movement window.
#pragma once

#include <cstdint>
#include <string>

namespace mvload {

struct RunConfig {
    std::string server; // the program
    std::string index = "grid";
    uint32_t threads = 1; // the server's --threads
    uint32_t players = 1000;
    double movement_sec = 30;
    double settle_sec = 3; // after the last link, before the window
    uint32_t connecting_at_once = 1024;
    std::string work_dir; // for the server's log, key and port files
};

struct RunFigures {
    // Connecting.
    double connect_sec = 0, handshakes_per_sec = 0;
    uint32_t established = 0, refused = 0, connect_failed = 0;
    // The movement window.
    double window_sec = 0;
    uint32_t held = 0, lost = 0;
    double tick_p50 = 0, tick_p99 = 0, tick_max = 0;         // ms, from the server's load lines
    double send_p99 = 0, tick_cpu_p50 = 0, tick_cpu_p99 = 0; // all the tick's threads
    double thread_cpu_p50 = 0, thread_cpu_p99 = 0;           // its busiest thread
    uint32_t tick_windows = 0;
    double lat_p50 = 0, lat_p99 = 0, lat_max = 0; // ms, pos line written to update read
    uint64_t lat_samples = 0, lat_unmatched = 0;
    uint64_t updates = 0, changed_updates = 0, malformed = 0;
    double entries_per_update = 0;
    uint64_t payload_bytes = 0, needed_bytes = 0, data_segments = 0;
    double wire_bytes_per_sec = 0, wire_over_needed = 0;
    double server_cpu = 0, generator_cpu = 0; // share of one core
    double rss_mib = 0, peak_rss_mib = 0;
    uint64_t steps_skipped = 0; // the control port was still full from the step before
    size_t walls = 0;
    double side_m = 0;
    std::string error; // empty when the run completed
};

RunFigures run_load(const RunConfig &config);

// Set from a signal handler: every run ends at once, its server stopped.
void request_stop();

} // namespace mvload
