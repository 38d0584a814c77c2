// The link's calls per received line: update lines of a given length streamed
// back to back or 1 ms apart to an established link, and every call that the
// plugin's link made meanwhile counted (calls.h says how, per platform).
#include "portable/calls.h"
#include "portable/harness.h"
#include "support/workload.h"

namespace mvbench::portable {
namespace {

struct Counted {
    bool drained;
    double lines;
    calls::Counts used;
};

Counted stream_lines(Server &server, size_t length, uint32_t pace_us, size_t count) {
    std::vector<std::string> lines;
    for (size_t v = 0; v < 4; ++v)
        lines.push_back(update_line_of_length(length, v) + "\n");
    const calls::Counts before = calls::counts();
    const uint64_t sent_before = server.bytes_sent();
    server.stream(&lines, count / lines.size(), pace_us);
    server.wait_stream();
    const uint64_t sent = server.bytes_sent() - sent_before;
    const bool drained = wait_until([&] { return calls::counts().bytes_read - before.bytes_read >= sent; }) &&
                         wait_until([] { return calls::worker_wait() == calls::Wait::readable; });
    return {drained, static_cast<double>(count / lines.size() * lines.size()), calls::counts() - before};
}

} // namespace

void link_figures(Run &run) {
    Server server;
    if (!connect(run, server, 9)) {
        run.rows.push_back({"4 link", "calls per line", "no link", "-", false});
        disconnect(run);
        return;
    }
    for (uint32_t pace_us : {0u, 1000u}) {
        for (size_t length : {100, 1000, 8191}) {
            size_t count = pace_us > 0 ? 200 : (length < 1000 ? 4000 : 2000);
            if (run.quick) count /= 4;
            const Counted c = stream_lines(server, length, pace_us, count);
            const double total = static_cast<double>(c.used.total()) / c.lines;
            const auto per = [&c](uint64_t n) { return static_cast<double>(n) / c.lines; };
            run.rows.push_back(
                {"4 link",
                 fmt("%zu-byte lines %s: calls per line: all (receives, sends, waits, stop checks, event "
                     "calls)",
                     length, pace_us == 0 ? "back to back" : "1 ms apart"),
                 c.drained ? fmt("%.3f (%.3f, %.3f, %.3f, %.3f, %.3f)", total, per(c.used.reads),
                                 per(c.used.sends), per(c.used.waits), per(c.used.checks), per(c.used.events))
                           : "not all read",
                 "<= 2", c.drained && total <= 2});
        }
    }
    disconnect(run);
}

} // namespace mvbench::portable
