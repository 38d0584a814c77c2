// marlpike-falloff-server: the falloff server a studio runs beside its game.
#include <sys/resource.h>

#include <cstdio>
#include <string>

#include "log.h"
#include "options.h"
#include "roster.h"
#include "scenario.h"
#include "server.h"

namespace {

using namespace mvserver;

int usage_error(const std::string &message) {
    std::fprintf(stderr, "marlpike-falloff-server: %s\n\n%s", message.c_str(), kUsage);
    return 2;
}

// Thousands of links need thousands of descriptors.
void raise_file_limit() {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

bool write_port(const std::string &path, uint16_t port) {
    if (path.empty()) return true;
    std::FILE *f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    const bool ok = std::fprintf(f, "%u\n", port) > 0;
    return std::fclose(f) == 0 && ok;
}

// The first line of the key file, CR and LF trimmed.
bool read_key_file(const std::string &path, std::string *key, std::string *error) {
    std::string text;
    if (!read_file(path, &text)) {
        *error = "cannot read the key file " + path;
        return false;
    }
    *key = text.substr(0, text.find('\n'));
    while (!key->empty() && (key->back() == '\r' || key->back() == '\n'))
        key->pop_back();
    if (key->empty()) {
        *error = "the key file " + path + " has an empty first line";
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    std::string error;
    if (!parse_options(argc, argv, &o, &error)) return usage_error(error);
    if (o.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (o.print_demo) {
        std::fwrite(demo_scenario_text().data(), 1, demo_scenario_text().size(), stdout);
        return 0;
    }

    ServerConfig c;
    if (o.demo || !o.scenario.empty()) {
        Scenario s;
        const bool ok =
            o.demo ? parse_scenario(demo_scenario_text(), &s, &error) : load_scenario(o.scenario, &s, &error);
        if (!ok) return usage_error(error);
        // The scenario's falloff line, unless the command line says otherwise.
        if (s.falloff && !o.near_given) o.rules.near_m = s.falloff->first;
        if (s.falloff && !o.far_given) o.rules.far_m = s.falloff->second;
        c.scenario = std::move(s);
    }
    if (const char *problem = rules_problem(o.rules)) return usage_error(problem);

    World world(o.rules.far_m);
    std::string roster_key;
    if (!o.roster.empty() && !load_roster(o.roster, world, &roster_key, &error)) return usage_error(error);
    if (!o.key_file.empty()) {
        if (!read_key_file(o.key_file, &c.key, &error)) return usage_error(error);
        c.key_source = roster_key.empty() ? "key-file" : "key-file(over-roster)";
    } else if (!roster_key.empty()) {
        c.key = roster_key;
        c.key_source = "roster";
    } else {
        return usage_error("no key: give --key-file FILE or a roster with a 'key' line");
    }

    c.bind = o.bind;
    c.port = o.port;
    c.control_port = o.control;
    c.control_bind = o.control_bind;
    c.rules = o.rules;
    c.index = o.index;
    c.threads = o.threads;
    c.rate_hz = o.rate_hz;
    c.ping_sec = o.ping_sec;
    c.idle_timeout_sec = o.idle_timeout_sec;
    c.stale_sec = o.stale_sec;
    c.seconds = o.seconds;
    c.handshakes_per_minute = o.handshakes_per_minute;
    c.max_links = o.max_links;

    Log log(stdout, o.log);
    if (!log.ok()) {
        std::fprintf(stderr, "marlpike-falloff-server: cannot open the log file %s\n", o.log.c_str());
        return 2;
    }
    raise_file_limit();
    Server server(std::move(c), std::move(world), log);
    if (!server.open(&error)) {
        log.event("start_failed", "error=" + error);
        std::fprintf(stderr, "marlpike-falloff-server: %s\n", error.c_str());
        return 1;
    }
    if (!write_port(o.port_file, server.port()) ||
        (o.control && !write_port(o.control_port_file, server.control_port()))) {
        std::fprintf(stderr, "marlpike-falloff-server: cannot write a port file\n");
        return 1;
    }
    server.run();
    return 0;
}
