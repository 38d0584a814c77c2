// The figures that a bench program prints at its end, each with its target
// and the straightforward reference, and the reporter that collects the
// Google Benchmark runs they are computed from.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace mvbench {

enum class Verdict { met, not_met, info };

struct Figure {
    std::string item;      // "1 audio callback"
    std::string what;      // "512 users/speakers, time / floor"
    std::string measured;  // "1.21x"
    std::string target;    // "<= 1.5x"
    std::string reference; // the straightforward design, same run ("3.4x"), or "-"
    Verdict verdict;
};

void add_figure(Figure figure);
// The table of every figure added, as Markdown, on stdout.
void print_figures(const char *title);

// Results of one benchmark (every repetition of it).
struct RunResult {
    std::vector<double> cpu_ns;  // CPU time per iteration, per repetition
    std::vector<double> real_ns; // wall time per iteration, per repetition
    std::map<std::string, std::vector<double>> counters;
    [[nodiscard]] double median_cpu_ns() const;
    [[nodiscard]] double median_real_ns() const;
    [[nodiscard]] double median(const std::string &counter) const; // NaN when absent
    [[nodiscard]] double max(const std::string &counter) const;    // NaN when absent
};

// Prints like the console reporter and keeps every result by benchmark name.
class CollectingReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override;
    [[nodiscard]] const RunResult *find(const std::string &name) const;

  private:
    std::map<std::string, RunResult> results_;
};

// Small formatting helpers for the table.
std::string fmt(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt_ns(double ns); // "850 ns", "12.3 us", "4.56 ms"

// Runs the registered benchmarks with the reporter; returns false on bad flags.
bool run_benchmarks(int argc, char **argv, CollectingReporter &reporter);

// True when MV_BENCH_QUICK is set: shorter runs for development.
[[nodiscard]] bool quick_mode();

} // namespace mvbench
