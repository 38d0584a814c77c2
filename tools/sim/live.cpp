#include "live.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "sim/view.h"

namespace mvtools {
namespace {

void print_lines(std::FILE *f, const std::vector<std::string> &lines) {
    for (const std::string &l : lines)
        std::fprintf(f, "%s\n", l.c_str());
}

std::string plugin_text(const mvhost::PluginInfo &info) {
    char buf[256];
    std::snprintf(buf, sizeof buf, "%s %d.%d.%d (API %d.%d.%d)", info.name.c_str(), info.version.major,
                  info.version.minor, info.version.patch, info.api_version.major, info.api_version.minor,
                  info.api_version.patch);
    return buf;
}

} // namespace

int run_live(const SimConfig &config, const LiveOptions &options, const std::atomic<bool> &stop) {
    const bool tty = isatty(STDOUT_FILENO) != 0;
    Simulation sim(config);
    std::string error;
    if (!sim.start(&error)) {
        std::fprintf(stderr, "marlpike-host-sim: %s\n", error.c_str());
        return 1;
    }
    if (!options.wav.empty() && !sim.open_wav(options.wav)) {
        std::fprintf(stderr, "marlpike-host-sim: cannot write %s\n", options.wav.c_str());
        return 1;
    }
    const std::string label = "smoothing_ms=" + std::to_string(config.smoothing_ms);
    const ViewHeader header{plugin_text(sim.plugin_info()) + "   " + label,
                            config.server_host + ":" + std::to_string(config.server_port) +
                                (config.tap ? " (through the simulator's link check)" : " (direct)")};
    std::printf("plugin work directory: %s\n", sim.workdir().c_str());
    std::fflush(stdout);

    const double started =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    sim.start_audio(true);
    std::vector<std::string> recent;
    const auto remember = [&](const std::string &line) {
        recent.push_back(line);
        if (recent.size() > 10) recent.erase(recent.begin());
        if (!tty) std::printf("%s\n", line.c_str());
    };
    const auto begin = std::chrono::steady_clock::now();
    auto next_draw = begin;
    size_t log_seen = 0;
    while (!stop.load()) {
        for (const WireEvent &e : sim.take_events())
            remember(event_line(e));
        for (const std::string &l : sim.host()->log_lines(log_seen)) {
            remember("         host log: " + l);
            ++log_seen;
        }
        const auto now = std::chrono::steady_clock::now();
        if (std::chrono::duration<double>(now - begin).count() >= options.seconds) break;
        if (now >= next_draw) {
            const auto table = render_table(header, sim.snapshot(), sim.tapped());
            if (tty) {
                std::printf("\x1b[H\x1b[J");
                print_lines(stdout, table);
                std::printf("\nrecent events:\n");
                print_lines(stdout, recent);
            } else {
                std::printf("----\n");
                print_lines(stdout, table);
            }
            std::fflush(stdout);
            next_draw =
                now + std::chrono::milliseconds(tty ? 250 : static_cast<int>(options.interval * 1000));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    const Snapshot last = sim.snapshot();
    sim.finish();
    for (const WireEvent &e : sim.take_events())
        remember(event_line(e));

    RunRecord run = sim.record(label);
    run.started = started;
    run.title = "What " + config.local.alias + " hears from each speaker";
    std::vector<std::string> &report = run.report;
    report.emplace_back("==== Marlpike host simulator report ====");
    for (const std::string &l : render_table(header, last, sim.tapped()))
        report.push_back(l);
    report.emplace_back("");
    bool ok = true;
    if (sim.tapped()) {
        report.emplace_back("falloff link:");
        for (const std::string &l : sim.wire_summary())
            report.push_back("  " + l);
        ok = last.accepted > 0 && last.updates > 0;
        if (!ok) report.emplace_back("  FAIL: the link never carried an update (see the events above)");
    }
    for (const std::string &l : muffle_report(run.series))
        report.push_back(l);
    for (const std::string &l : click_report(run))
        report.push_back(l);
    const std::vector<std::string> violations = sim.host()->contract_violations();
    ok = ok && violations.empty();
    for (const std::string &l : host_report(*sim.host(), violations))
        report.push_back(l);
    report.push_back("plugin log: " + sim.workdir() + "/marlpike_voice.log");
    if (!options.wav.empty()) report.push_back("mix: " + options.wav);
    if (!options.svg.empty()) {
        std::ofstream svg(options.svg);
        svg << render_svg(compare_picture({run}));
        report.push_back("picture: " + options.svg + (svg ? "" : " (could not be written)"));
    }
    report.push_back(ok ? "RESULT: pass" : "RESULT: FAIL");
    std::printf("\n");
    print_lines(stdout, report);
    if (!options.report.empty()) {
        std::ofstream out(options.report);
        for (const WireEvent &e : sim.all_events())
            out << event_line(e) << "\n";
        for (const std::string &l : report)
            out << l << "\n";
    }
    if (!options.save_run.empty() && !save_run(run, options.save_run)) {
        std::fprintf(stderr, "marlpike-host-sim: cannot write %s\n", options.save_run.c_str());
        return 1;
    }
    return ok ? 0 : 1;
}

} // namespace mvtools
