// The figures that both libraries are compared on, measured the same way on
// either platform: the audio callback's ratio to the floor, the link's calls
// per received line, and the stop latency in each worker state. Prints one
// Markdown table. --quick: shorter runs.
#include <cstdio>
#include <cstring>
#include <exception>

#include "portable/calls.h"
#include "portable/harness.h"

using namespace mvbench;
using namespace mvbench::portable;

int main(int argc, char **argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    calls::mark_own_thread(); // the bench's thread: its calls are not the link's
    try {
        PluginSession session(&calls::mark_own_thread);
        std::string error;
        if (!calls::watch(session.host(), &error)) {
            std::fprintf(stderr, "cannot watch the plugin's calls: %s\n", error.c_str());
            return 1;
        }
        Run run{session, quick, {}};
        audio_figures(run);
        link_figures(run);
        stop_figures(run);
        std::printf("\n## Portable figures: %s library\n\n", calls::platform_name());
        std::printf("| item | figure | measured | target | verdict |\n|---|---|---|---|---|\n");
        for (const Row &row : run.rows) {
            const bool judged = row.target != "-";
            std::printf("| %s | %s | %s | %s | %s |\n", row.item.c_str(), row.what.c_str(),
                        row.measured.c_str(), row.target.c_str(),
                        !judged   ? "-"
                        : row.met ? "met"
                                  : "NOT MET");
        }
        std::fflush(stdout);
        return 0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "bench: %s\n", e.what());
        return 1;
    }
}
