#include "figures.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace mvbench {

namespace {

std::vector<Figure> &figures() {
    static std::vector<Figure> all;
    return all;
}

double median_of(std::vector<double> v) {
    if (v.empty()) return std::numeric_limits<double>::quiet_NaN();
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

const char *verdict_text(Verdict v) {
    switch (v) {
    case Verdict::met:
        return "met";
    case Verdict::not_met:
        return "NOT MET";
    case Verdict::info:
        return "-";
    }
    return "-";
}

} // namespace

void add_figure(Figure figure) {
    figures().push_back(std::move(figure));
}

void print_figures(const char *title) {
    std::printf("\n## %s\n\n", title);
    std::printf("| item | figure | measured | target | reference | verdict |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (const Figure &f : figures())
        std::printf("| %s | %s | %s | %s | %s | %s |\n", f.item.c_str(), f.what.c_str(), f.measured.c_str(),
                    f.target.c_str(), f.reference.c_str(), verdict_text(f.verdict));
    std::fflush(stdout);
}

double RunResult::median_cpu_ns() const {
    return median_of(cpu_ns);
}
double RunResult::median_real_ns() const {
    return median_of(real_ns);
}

double RunResult::median(const std::string &counter) const {
    auto it = counters.find(counter);
    return it == counters.end() ? std::numeric_limits<double>::quiet_NaN() : median_of(it->second);
}

double RunResult::max(const std::string &counter) const {
    auto it = counters.find(counter);
    if (it == counters.end() || it->second.empty()) return std::numeric_limits<double>::quiet_NaN();
    return *std::max_element(it->second.begin(), it->second.end());
}

void CollectingReporter::ReportRuns(const std::vector<Run> &runs) {
    for (const Run &run : runs) {
        // Each repetition, or only their median when the others are not reported.
        const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
        if ((run.run_type != Run::RT_Iteration && !median) || run.error_occurred || run.iterations == 0)
            continue;
        // Keyed by function and arguments only: "BM_X/512", whatever the run options.
        const std::string &args = run.run_name.args;
        RunResult &r = results_[run.run_name.function_name + (args.empty() ? "" : "/" + args)];
        const double iterations = static_cast<double>(run.iterations);
        r.cpu_ns.push_back(run.cpu_accumulated_time * 1e9 / iterations);
        r.real_ns.push_back(run.real_accumulated_time * 1e9 / iterations);
        for (const auto &[name, counter] : run.counters)
            r.counters[name].push_back(counter.value);
    }
    ConsoleReporter::ReportRuns(runs);
}

const RunResult *CollectingReporter::find(const std::string &name) const {
    auto it = results_.find(name);
    return it == results_.end() ? nullptr : &it->second;
}

std::string fmt(const char *format, ...) {
    char buf[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

std::string fmt_ns(double ns) {
    if (std::isnan(ns)) return "n/a";
    if (ns < 1e3) return fmt("%.0f ns", ns);
    if (ns < 1e6) return fmt("%.2f us", ns / 1e3);
    if (ns < 1e9) return fmt("%.2f ms", ns / 1e6);
    return fmt("%.2f s", ns / 1e9);
}

bool run_benchmarks(int argc, char **argv, CollectingReporter &reporter) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return false;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return true;
}

bool quick_mode() {
    const char *v = std::getenv("MV_BENCH_QUICK");
    return v != nullptr && v[0] != '\0' && v[0] != '0';
}

} // namespace mvbench
