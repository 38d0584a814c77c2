// marlpike-host-sim: loads a build of the plugin as the host does and shows
// what the listener hears from each speaker, while checking the falloff link.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <thread>

#include "common/args.h"
#include "common/roster.h"
#include "common/text.h"
#include "sim/simulation.h"
#include "sim/view.h"

namespace {

using namespace mvtools;

std::atomic<bool> g_stop{false};
void on_signal(int) {
    g_stop.store(true);
}

constexpr char kUsage[] = R"(usage: marlpike-host-sim --plugin LIBRARY [options]

  --plugin FILE        the plugin library to load (libmarlpike_voice.so)
  --server HOST:PORT   the falloff server (default 127.0.0.1:8890)
  --key KEY            the api_key the plugin sends (default SET_THIS_PRIVATE_KEY)
  --roster FILE        take the local user's certificate hash and the speakers
                       from a falloff server roster file (with --local)
  --local ALIAS        the local user's voice alias (default VC-Listener)
  --hash HEX           the local user's certificate hash
  --speaker ALIAS      a speaker on the voice server (repeatable)
  --seconds S          how long to run (default 15)
  --wav FILE           write the stereo mix the listener hears
  --svg FILE           write a picture of each speaker's gain and pan over time
  --report FILE        also write the closing report to FILE
  --workdir DIR        where the plugin copy, its settings and log go
                       (default: a new directory under the temp directory)
  --keep-ini           use the settings file already in --workdir
  --no-tap             let the plugin connect to the server directly (no link check)
  --frames N           frames per audio block (default 960, 20 ms)
  --reconnect S        the plugin's reconnect_sec (default 2)
  --interval S         seconds between table snapshots when not on a terminal (default 2)

Exit status: 0 when the plugin was accepted by the server, received updates and
kept the host's rules; 1 otherwise; 2 for bad arguments.
)";

bool split_host_port(const std::string &s, std::string *host, uint16_t *port) {
    const size_t colon = s.rfind(':');
    double p = 0;
    if (colon == std::string::npos || !parse_number(s.substr(colon + 1), &p) || p < 1 || p > 65535)
        return false;
    *host = s.substr(0, colon);
    *port = static_cast<uint16_t>(p);
    return !host->empty();
}

void print_lines(std::FILE *f, const std::vector<std::string> &lines) {
    for (const std::string &l : lines)
        std::fprintf(f, "%s\n", l.c_str());
}

} // namespace

int main(int argc, char **argv) {
    Args args(argc, argv, {"help", "keep-ini", "no-tap"});
    if (args.flag("help")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    SimConfig config;
    config.plugin_path = args.text("plugin");
    const std::string server = args.text("server", "127.0.0.1:8890");
    config.api_key = args.text("key", config.api_key);
    const std::string roster_path = args.text("roster");
    config.local.alias = args.text("local", "VC-Listener");
    config.local.hash = args.text("hash");
    const auto speakers = args.all("speaker");
    const double seconds = args.number("seconds", 15);
    const std::string wav_path = args.text("wav");
    const std::string svg_path = args.text("svg");
    const std::string report_path = args.text("report");
    config.workdir = args.text("workdir");
    config.write_ini = !args.flag("keep-ini");
    config.tap = !args.flag("no-tap");
    config.frames = static_cast<uint32_t>(args.number("frames", 960));
    config.reconnect_sec = static_cast<int>(args.number("reconnect", 2));
    const double interval = args.number("interval", 2);

    std::string error = args.error();
    if (error.empty() && !args.unused().empty()) error = "unknown argument " + args.unused().front();
    if (error.empty() && config.plugin_path.empty()) error = "--plugin is required";
    if (error.empty() && !split_host_port(server, &config.server_host, &config.server_port))
        error = "--server needs HOST:PORT";
    if (error.empty() && (config.frames < 1 || config.frames > 48000)) error = "--frames must be 1 to 48000";
    if (error.empty() && !roster_path.empty()) {
        Roster roster;
        if (load_roster(roster_path, &roster, &error)) {
            const Player *me = roster.find(config.local.alias);
            if (me == nullptr)
                error = config.local.alias + " is not in " + roster_path;
            else if (config.local.hash.empty())
                config.local.hash = me->hash;
            for (const Player &p : roster.players)
                if (&p != me) config.speakers.push_back({p.alias, p.hash});
        }
    }
    for (const std::string &s : speakers)
        config.speakers.push_back({s, ""});
    if (error.empty() && config.local.hash.empty())
        error = "the local user needs a certificate hash (--hash or --roster)";
    if (error.empty() && config.speakers.empty()) error = "no speakers (--speaker or --roster)";
    if (!error.empty()) {
        std::fprintf(stderr, "marlpike-host-sim: %s\n\n%s", error.c_str(), kUsage);
        return 2;
    }

    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    const bool tty = isatty(STDOUT_FILENO) != 0;

    Simulation sim(config);
    if (!sim.start(&error)) {
        std::fprintf(stderr, "marlpike-host-sim: %s\n", error.c_str());
        return 1;
    }
    if (!wav_path.empty() && !sim.open_wav(wav_path)) {
        std::fprintf(stderr, "marlpike-host-sim: cannot write %s\n", wav_path.c_str());
        return 1;
    }
    const mvhost::PluginInfo &info = sim.plugin_info();
    char plugin_text[256];
    std::snprintf(plugin_text, sizeof plugin_text, "%s %d.%d.%d (API %d.%d.%d)", info.name.c_str(),
                  info.version.major, info.version.minor, info.version.patch, info.api_version.major,
                  info.api_version.minor, info.api_version.patch);
    ViewHeader header{plugin_text, config.server_host + ":" + std::to_string(config.server_port) +
                                       (config.tap ? " (through the simulator's link check)" : " (direct)")};
    std::printf("plugin work directory: %s\n", sim.workdir().c_str());
    std::fflush(stdout);

    sim.start_audio(true);
    std::vector<std::string> recent;
    auto remember = [&](const std::string &line) {
        recent.push_back(line);
        if (recent.size() > 10) recent.erase(recent.begin());
        if (!tty) std::printf("%s\n", line.c_str());
    };
    const auto begin = std::chrono::steady_clock::now();
    auto next_draw = begin;
    size_t log_seen = 0;
    while (!g_stop.load()) {
        for (const WireEvent &e : sim.take_events())
            remember(event_line(e));
        for (const std::string &l : sim.host()->log_lines(log_seen)) {
            remember("         host log: " + l);
            ++log_seen;
        }
        const auto now = std::chrono::steady_clock::now();
        if (std::chrono::duration<double>(now - begin).count() >= seconds) break;
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
            next_draw = now + std::chrono::milliseconds(tty ? 250 : static_cast<int>(interval * 1000));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    const Snapshot last = sim.snapshot();
    sim.finish();
    for (const WireEvent &e : sim.take_events())
        remember(event_line(e));

    std::vector<std::string> report;
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
    const std::vector<std::string> violations = sim.host()->contract_violations();
    ok = ok && violations.empty();
    for (const std::string &l : host_report(*sim.host(), violations))
        report.push_back(l);
    report.push_back("plugin log: " + sim.workdir() + "/marlpike_voice.log");
    if (!wav_path.empty()) report.push_back("mix: " + wav_path);
    if (!svg_path.empty()) {
        std::ofstream svg(svg_path);
        svg << render_svg("What " + config.local.alias + " hears from each speaker", sim.series(), last.t);
        report.push_back("picture: " + svg_path + (svg ? "" : " (could not be written)"));
    }
    report.push_back(ok ? "RESULT: pass" : "RESULT: FAIL");
    std::printf("\n");
    print_lines(stdout, report);
    if (!report_path.empty()) {
        std::ofstream out(report_path);
        for (const WireEvent &e : sim.all_events())
            out << event_line(e) << "\n";
        for (const std::string &l : report)
            out << l << "\n";
    }
    return ok ? 0 : 1;
}
