// mv_load: the falloff server under a crowd. For each size, index and thread
// count it starts the server, connects a plugin link per player, feeds the
// crowd's walk and prints the figures of the movement window as a Markdown
// table.
//
//   mv_load --server PATH [--players 1000,2000,5000,10000] [--index grid,naive]
//           [--threads 1] [--seconds 60] [--short-seconds 30] [--work DIR]
//
// The largest size moves for --seconds, the others for --short-seconds. The
// naive loop, there as the index's yardstick, runs at the first thread count
// only.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "load/crowd.h"
#include "load/load_run.h"

namespace {

using namespace mvload;

std::vector<std::string> split(const std::string &s) {
    std::vector<std::string> out;
    std::stringstream in(s);
    for (std::string item; std::getline(in, item, ',');)
        if (!item.empty()) out.push_back(item);
    return out;
}

int usage() {
    std::fprintf(stderr,
                 "usage: mv_load --server PATH [--players 1000,2000,5000,10000] [--index grid,naive]\n"
                 "               [--threads 1] [--seconds 60] [--short-seconds 30] [--work DIR]\n");
    return 2;
}

// The table's row on stdout at once; the details, also on stderr now, are
// returned to be listed after the table.
std::string print_row(uint32_t players, const std::string &index, uint32_t threads, const RunFigures &f) {
    if (!f.error.empty()) {
        std::printf("| %u | %s | %u | failed: %s |\n", players, index.c_str(), threads, f.error.c_str());
        std::fflush(stdout);
        return {};
    }
    std::printf(
        "| %u | %s | %u | %zu | %.0f/s | %u/%u/%u | %.1f/%.1f/%.1f (%u) | %.1f | %.1f/%.1f | %.1f/%.1f "
        "| %.1f/%.1f (%llu) | %.1f | %.2f MB/s | %.2fx | %.0f%% | %.0f%% | %.0f MiB (%.0f) | %llu |\n",
        players, index.c_str(), threads, f.walls, f.handshakes_per_sec, f.held, f.lost,
        f.refused + f.connect_failed, f.tick_p50, f.tick_p99, f.tick_max, f.tick_windows, f.send_p99,
        f.tick_cpu_p50, f.tick_cpu_p99, f.thread_cpu_p50, f.thread_cpu_p99, f.lat_p50, f.lat_p99,
        static_cast<unsigned long long>(f.lat_samples), f.entries_per_update, f.wire_bytes_per_sec / 1e6,
        f.wire_over_needed, f.server_cpu * 100, f.generator_cpu * 100, f.rss_mib, f.peak_rss_mib,
        static_cast<unsigned long long>(f.steps_skipped));
    std::fflush(stdout);
    char details[512];
    std::snprintf(
        details, sizeof details,
        "- %u %s %u: window %.1f s, square %.0f m, connecting %.1f s; updates %llu (changed %llu, "
        "malformed %llu); payload %llu B in %llu segments; changed tables %llu B; pos-to-wire max "
        "%.1f ms, beacon lines never seen %llu\n",
        players, index.c_str(), threads, f.window_sec, f.side_m, f.connect_sec,
        static_cast<unsigned long long>(f.updates), static_cast<unsigned long long>(f.changed_updates),
        static_cast<unsigned long long>(f.malformed), static_cast<unsigned long long>(f.payload_bytes),
        static_cast<unsigned long long>(f.data_segments), static_cast<unsigned long long>(f.needed_bytes),
        f.lat_max, static_cast<unsigned long long>(f.lat_unmatched));
    std::fputs(details, stderr);
    return details;
}

} // namespace

int main(int argc, char **argv) {
    std::string server, work;
    std::vector<std::string> sizes = {"1000", "2000", "5000", "10000"}, indexes = {"grid", "naive"},
                             thread_counts = {"1"};
    double seconds = 60, short_seconds = 30;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) return usage();
        const std::string v = argv[++i];
        if (a == "--server")
            server = v;
        else if (a == "--players")
            sizes = split(v);
        else if (a == "--index")
            indexes = split(v);
        else if (a == "--threads")
            thread_counts = split(v);
        else if (a == "--seconds")
            seconds = std::atof(v.c_str());
        else if (a == "--short-seconds")
            short_seconds = std::atof(v.c_str());
        else if (a == "--work")
            work = v;
        else
            return usage();
    }
    if (server.empty() || sizes.empty() || indexes.empty() || thread_counts.empty() || seconds <= 0 ||
        short_seconds <= 0)
        return usage();
    if (work.empty()) work = std::filesystem::temp_directory_path() / ("mv_load." + std::to_string(getpid()));

    // Ctrl-C stops the run and, through it, the server it started.
    struct sigaction on_stop {};
    on_stop.sa_handler = [](int) { request_stop(); };
    sigaction(SIGINT, &on_stop, nullptr);
    sigaction(SIGTERM, &on_stop, nullptr);

    std::vector<uint32_t> players;
    for (const std::string &s : sizes)
        players.push_back(static_cast<uint32_t>(std::strtoul(s.c_str(), nullptr, 10)));
    const uint32_t largest = *std::max_element(players.begin(), players.end());

    std::printf(
        "| players | index | threads | walls | handshakes | links held/lost/refused | tick p50/p99/max ms "
        "(windows) | sends p99 ms | tick CPU p50/p99 ms | busiest thread CPU p50/p99 ms | pos-to-wire "
        "p50/p99 ms (samples) | entries per update | wire "
        "| wire / needed "
        "| server CPU | generator CPU | server RSS (peak) | steps skipped |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    bool all_ok = true;
    std::string details;
    for (const uint32_t n : players)
        for (const std::string &index : indexes)
            for (const std::string &t : thread_counts) {
                if (index == "naive" && t != thread_counts.front()) continue;
                RunConfig c;
                c.server = server;
                c.index = index;
                c.threads = static_cast<uint32_t>(std::strtoul(t.c_str(), nullptr, 10));
                c.players = n;
                c.movement_sec = n == largest ? seconds : short_seconds;
                c.work_dir = work + "/" + std::to_string(n) + "-" + index + "-" + t;
                std::filesystem::create_directories(c.work_dir);
                std::fprintf(stderr, "load: %u players, --index %s, --threads %u, %.0f s of movement\n", n,
                             index.c_str(), c.threads, c.movement_sec);
                const RunFigures f = run_load(c);
                all_ok = all_ok && f.error.empty();
                details += print_row(n, index, c.threads, f);
                if (f.error == "interrupted") return 1;
            }
    std::printf("\n%s", details.c_str());
    std::fprintf(stderr, "load: the server's logs are in %s\n", work.c_str());
    return all_ok ? 0 : 1;
}
