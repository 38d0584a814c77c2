// marlpike-falloff-server: the reference falloff server.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <thread>

#include "common/args.h"
#include "common/log.h"
#include "common/roster.h"
#include "common/scenario.h"
#include "falloff/reference_server.h"

namespace {

std::atomic<bool> g_stop{false};

void on_signal(int) {
    g_stop.store(true);
}

constexpr char kUsage[] = R"(usage: marlpike-falloff-server --roster FILE (--scenario FILE | --demo) [options]

  --roster FILE        the shared key and the players (alias, certificate hash);
                       reloaded when the file changes
  --scenario FILE      positions over time (see --print-demo for the format)
  --demo               the built-in demo scenario
  --print-demo         print the demo scenario and exit
  --bind ADDRESS       listen address (default 127.0.0.1)
  --port N             listen port (default 8890; 0 picks a free one)
  --port-file FILE     write the port listened on to FILE
  --rate HZ            updates per second per session (default 10)
  --ping-sec S         send PING every S seconds (default 15; 0 never)
  --idle-timeout S     close a link silent for S seconds (default 60; 0 never)
  --seconds S          stop after S seconds (default: run until interrupted)
  --log FILE           also append the session log to FILE
)";

} // namespace

int main(int argc, char **argv) {
    using namespace mvtools;
    using namespace mvfalloff;
    Args args(argc, argv, {"demo", "print-demo", "help"});
    if (args.flag("help")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (args.flag("print-demo")) {
        std::fwrite(demo_scenario_text().data(), 1, demo_scenario_text().size(), stdout);
        return 0;
    }
    ReferenceConfig config;
    config.roster_path = args.text("roster");
    const bool demo = args.flag("demo");
    const std::string scenario_path = args.text("scenario");
    config.bind = args.text("bind", "127.0.0.1");
    const double port = args.number("port", 8890);
    const std::string port_file = args.text("port-file");
    config.rate_hz = args.number("rate", 10);
    config.ping_sec = args.number("ping-sec", 15);
    config.idle_timeout_sec = args.number("idle-timeout", 60);
    const double run_seconds = args.number("seconds", 0);
    const std::string log_path = args.text("log");

    std::string error = args.error();
    if (error.empty() && !args.unused().empty()) error = "unknown argument " + args.unused().front();
    if (error.empty() && (port < 0 || port > 65535)) error = "--port must be 0 to 65535";
    if (error.empty() && (config.rate_hz <= 0 || config.rate_hz > 1000))
        error = "--rate must be above 0, at most 1000";
    if (error.empty() && config.roster_path.empty()) error = "--roster is required";
    if (error.empty() && demo == !scenario_path.empty()) error = "give either --scenario FILE or --demo";
    if (error.empty()) load_roster(config.roster_path, &config.roster, &error);
    if (error.empty()) {
        if (demo)
            parse_scenario(demo_scenario_text(), &config.scenario, &error);
        else
            load_scenario(scenario_path, &config.scenario, &error);
    }
    if (!error.empty()) {
        std::fprintf(stderr, "marlpike-falloff-server: %s\n\n%s", error.c_str(), kUsage);
        return 2;
    }
    config.port = static_cast<uint16_t>(port);

    Logger log(stdout, log_path);
    if (!log.file_ok()) {
        std::fprintf(stderr, "marlpike-falloff-server: cannot open log file %s\n", log_path.c_str());
        return 2;
    }
    ReferenceServer server(std::move(config), log);
    if (!server.open(&error)) {
        log.line(error);
        return 1;
    }
    if (!port_file.empty()) {
        std::FILE *f = std::fopen(port_file.c_str(), "w");
        if (f == nullptr) {
            log.line("cannot write " + port_file);
            return 1;
        }
        std::fprintf(f, "%u\n", server.port());
        std::fclose(f);
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    std::thread timer;
    if (run_seconds > 0)
        timer = std::thread([run_seconds] {
            const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(run_seconds);
            while (!g_stop.load() && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            g_stop.store(true);
        });
    server.run(g_stop);
    g_stop.store(true);
    if (timer.joinable()) timer.join();
    const ReferenceStats st = server.stats();
    log.linef("stopped: %zu connections, %zu established, %zu rejected, %zu updates sent", st.accepted,
              st.established, st.rejected, st.updates_sent);
    return 0;
}
