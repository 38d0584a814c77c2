// The falloff server as a child of the load generator: started with its
// ports written to files and its log to a file, watched through /proc, and
// stopped with SIGTERM.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace mvload {

struct ProcSample {
    double cpu_sec = 0; // user + system
    uint64_t rss_kib = 0, peak_rss_kib = 0;
};

// One `load` line of the server's log: a window of ticks.
struct LoadLine {
    double at_ms = 0; // since the epoch, UTC
    uint64_t ticks = 0;
    double p50 = 0, p99 = 0, max = 0;
    double send_p99 = 0, cpu_p50 = 0, cpu_p99 = 0;
    double thread_cpu_p50 = 0, thread_cpu_p99 = 0; // the tick's busiest thread
};

class ServerProcess {
  public:
    // Starts `program` with the arguments given and its own ports, key and
    // log in dir; false with the reason in *error.
    bool start(const std::string &program, const std::vector<std::string> &args, const std::string &dir,
               std::string *error);
    // Waits for both port files; false after the deadline.
    bool wait_ports(std::chrono::seconds deadline);
    [[nodiscard]] uint16_t port() const { return port_; }
    [[nodiscard]] uint16_t control_port() const { return control_port_; }
    [[nodiscard]] pid_t pid() const { return pid_; }
    [[nodiscard]] bool alive();

    [[nodiscard]] ProcSample sample() const;
    // SIGTERM, then SIGKILL after the deadline; the exit status.
    int stop(std::chrono::seconds deadline = std::chrono::seconds(20));
    ~ServerProcess();

    // The log's load lines.
    [[nodiscard]] std::vector<LoadLine> load_lines() const;
    [[nodiscard]] const std::string &log_path() const { return log_; }

  private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string dir_, log_;
    uint16_t port_ = 0, control_port_ = 0;
};

} // namespace mvload
