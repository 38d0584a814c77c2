// marlpike-host-sim: loads a build of the plugin as the host does and shows
// what the listener hears from each speaker, while checking the falloff link.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>

#include "common/args.h"
#include "common/roster.h"
#include "common/text.h"
#include "sim/live.h"
#include "sim/world_map.h"

namespace {

using namespace mvtools;

std::atomic<bool> g_stop{false};
void on_signal(int) {
    g_stop.store(true);
}

constexpr char kUsage[] = R"(usage: marlpike-host-sim --plugin LIBRARY [options]
       marlpike-host-sim --compare RUN --compare RUN [--svg FILE] [--report FILE]
                         [--world TRANSCRIPT [--local ALIAS]]

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
  --svg FILE           write a picture of each speaker's gain, pan and muffle over time
  --report FILE        also write the closing report to FILE
  --workdir DIR        where the plugin copy, its settings and log go
                       (default: a new directory under the temp directory)
  --keep-ini           use the settings file already in --workdir
  --no-tap             let the plugin connect to the server directly (no link check)
  --frames N           frames per audio block (default 960, 20 ms)
  --reconnect S        the plugin's reconnect_sec (default 2)
  --interval S         seconds between table snapshots when not on a terminal (default 2)
  --smoothing-ms N     the plugin's smoothing_ms setting (default 0: changes as steps)
  --save-run FILE      keep what this run measured, for --compare

  --compare FILE       (repeatable; no plugin is run) sets saved runs of the same
                       scenario side by side: the report compares their clicks,
                       the picture (--svg) shows the last run and every run's
                       multiplier round one change
  --world FILE         (with --compare) a game's transcript of its control lines,
                       each after its time (as the example games write it): the
                       picture gains a map of the last run's world from above

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

// --compare: the saved runs side by side.
int compare(const std::vector<std::string> &paths, const std::string &svg_path,
            const std::string &report_path, const std::string &world_path, const std::string &listener) {
    std::vector<RunRecord> runs(paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        std::string error;
        if (!load_run(paths[i], &runs[i], &error)) {
            std::fprintf(stderr, "marlpike-host-sim: %s\n", error.c_str());
            return 1;
        }
    }
    std::vector<std::string> report = compare_report(runs);
    WorldTrack world;
    if (!world_path.empty()) {
        std::string error;
        if (!load_world(world_path, &world, &error)) {
            std::fprintf(stderr, "marlpike-host-sim: %s\n", error.c_str());
            return 1;
        }
    }
    if (!svg_path.empty()) {
        std::ofstream svg(svg_path);
        const std::string curves = render_svg(compare_picture(runs));
        svg << (world_path.empty() ? curves : side_by_side(curves, render_map(world, runs.back(), listener)));
        report.push_back("picture: " + svg_path + (svg ? "" : " (could not be written)"));
    }
    std::ofstream out;
    if (!report_path.empty()) out.open(report_path);
    for (const std::string &l : report) {
        std::printf("%s\n", l.c_str());
        out << l << "\n";
    }
    return 0;
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
    config.smoothing_ms = static_cast<int>(args.number("smoothing-ms", 0));
    const std::string save_path = args.text("save-run");
    const auto compared = args.all("compare");
    const std::string world_path = args.text("world");
    if (!compared.empty() && args.error().empty() && args.unused().empty())
        return compare(compared, svg_path, report_path, world_path, config.local.alias);

    std::string error = args.error();
    if (error.empty() && !args.unused().empty()) error = "unknown argument " + args.unused().front();
    if (error.empty() && config.plugin_path.empty()) error = "--plugin is required";
    if (error.empty() && !split_host_port(server, &config.server_host, &config.server_port))
        error = "--server needs HOST:PORT";
    if (error.empty() && (config.frames < 1 || config.frames > 48000)) error = "--frames must be 1 to 48000";
    if (error.empty() && (config.smoothing_ms < 0 || config.smoothing_ms > 1000))
        error = "--smoothing-ms must be 0 to 1000";
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

    LiveOptions live{seconds, interval, wav_path, svg_path, report_path, save_path};
    return run_live(config, live, g_stop);
}
