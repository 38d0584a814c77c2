#include "options.h"

#include <cmath>
#include <functional>
#include <string_view>

#include "text.h"

namespace mvserver {

const char kUsage[] = R"(usage: marlpike-falloff-server (--control PORT | --scenario FILE | --demo) [options]

Modes (one or more):
  --control PORT            listen for the game's control lines (0 picks a free port)
  --scenario FILE           play positions over time from FILE (see --print-demo)
  --demo                    play the built-in demo scenario
  --print-demo              print the demo scenario and exit
The key (one is required):
  --key-file FILE           the shared key: the file's first line (wins over the roster's)
  --roster FILE             'key KEY' and 'player ALIAS HASH [ADDRESS]' lines: the key and
                            a starting set of players
Plugins:
  --bind ADDRESS            plugin listen address (default 127.0.0.1)
  --port N                  plugin listen port (default 8890; 0 picks a free one)
  --port-file FILE          write the plugin port to FILE
  --rate HZ                 ticks per second (default 10)
  --ping-sec S              PING every link every S seconds (default 15; 0 never)
  --idle-timeout S          close a link silent for S seconds (default 60; 0 never)
  --handshakes-per-minute N handshakes per source address a minute (default 30; 0 no limit)
  --max-links N             plugin connections at once (default 20000)
Control:
  --control-bind ADDRESS    control listen address (default 127.0.0.1)
  --control-port-file FILE  write the control port to FILE
Rules:
  --near M                  full volume within M metres (default 2, or the scenario's)
  --far M                   silent from M metres; the default range (default 25, or the scenario's)
  --model linear|inverse|exponential   between near and far (default linear)
  --rolloff R               for inverse and exponential (default 1)
  --stale-sec S             a player without pos for S seconds is out (default 10; 0 never)
  --index grid|naive        the spatial index, or every pair (default grid)
  --threads N               threads for the tick's tables and sends (default: the
                            machine's cores, at most 8; 1 keeps it on the event loop)
Running:
  --seconds S               stop after S seconds (default: until SIGTERM or SIGINT)
  --log FILE                also append the log to FILE
)";

namespace {

struct Flag {
    std::string_view name;
    bool takes_value;
    std::function<bool(std::string_view, Options &, std::string *)> apply;
};

bool seconds_value(std::string_view v, double max, double *out, std::string *error, std::string_view name) {
    if (!parse_number(v, out) || *out < 0 || *out > max) {
        *error = "--" + std::string(name) + " must be a number from 0 to " +
                 std::to_string(static_cast<long>(max));
        return false;
    }
    return true;
}

bool port_value(std::string_view v, uint16_t *out, std::string *error, std::string_view name) {
    unsigned long long n = 0;
    if (!parse_count(v, 65535, &n)) {
        *error = "--" + std::string(name) + " must be 0 to 65535";
        return false;
    }
    *out = static_cast<uint16_t>(n);
    return true;
}

bool count_value(std::string_view v, unsigned long long max, uint32_t *out, std::string *error,
                 std::string_view name) {
    unsigned long long n = 0;
    if (!parse_count(v, max, &n)) {
        *error = "--" + std::string(name) + " must be a whole number from 0 to " + std::to_string(max);
        return false;
    }
    *out = static_cast<uint32_t>(n);
    return true;
}

bool metres(std::string_view v, double *out, std::string *error, std::string_view name) {
    if (!parse_number(v, out) || *out < 0 || *out > 1e9) {
        *error = "--" + std::string(name) + " must be a number of metres from 0 to 1e9";
        return false;
    }
    return true;
}

const std::vector<Flag> &flags() {
    using S = std::string_view;
    static const std::vector<Flag> all = {
        {"help", false, [](S, Options &o, std::string *) { return o.help = true; }},
        {"print-demo", false, [](S, Options &o, std::string *) { return o.print_demo = true; }},
        {"demo", false, [](S, Options &o, std::string *) { return o.demo = true; }},
        {"roster", true, [](S v, Options &o, std::string *) { return o.roster = v, true; }},
        {"scenario", true, [](S v, Options &o, std::string *) { return o.scenario = v, true; }},
        {"bind", true, [](S v, Options &o, std::string *) { return o.bind = v, true; }},
        {"port", true, [](S v, Options &o, std::string *e) { return port_value(v, &o.port, e, "port"); }},
        {"port-file", true, [](S v, Options &o, std::string *) { return o.port_file = v, true; }},
        {"rate", true,
         [](S v, Options &o, std::string *e) {
             if (parse_number(v, &o.rate_hz) && o.rate_hz > 0 && o.rate_hz <= 1000) return true;
             *e = "--rate must be above 0, at most 1000";
             return false;
         }},
        {"ping-sec", true,
         [](S v, Options &o, std::string *e) { return seconds_value(v, 86400, &o.ping_sec, e, "ping-sec"); }},
        {"idle-timeout", true,
         [](S v, Options &o, std::string *e) {
             return seconds_value(v, 86400, &o.idle_timeout_sec, e, "idle-timeout");
         }},
        {"seconds", true,
         [](S v, Options &o, std::string *e) { return seconds_value(v, 1e9, &o.seconds, e, "seconds"); }},
        {"log", true, [](S v, Options &o, std::string *) { return o.log = v, true; }},
        {"control", true,
         [](S v, Options &o, std::string *e) {
             uint16_t p = 0;
             if (!port_value(v, &p, e, "control")) return false;
             o.control = p;
             return true;
         }},
        {"control-port-file", true,
         [](S v, Options &o, std::string *) { return o.control_port_file = v, true; }},
        {"control-bind", true, [](S v, Options &o, std::string *) { return o.control_bind = v, true; }},
        {"key-file", true, [](S v, Options &o, std::string *) { return o.key_file = v, true; }},
        {"near", true,
         [](S v, Options &o, std::string *e) {
             o.near_given = true;
             return metres(v, &o.rules.near_m, e, "near");
         }},
        {"far", true,
         [](S v, Options &o, std::string *e) {
             o.far_given = true;
             return metres(v, &o.rules.far_m, e, "far");
         }},
        {"model", true,
         [](S v, Options &o, std::string *e) {
             const auto m = parse_model(v);
             if (m)
                 o.rules.model = *m;
             else
                 *e = "--model must be linear, inverse or exponential";
             return m.has_value();
         }},
        {"rolloff", true,
         [](S v, Options &o, std::string *e) {
             if (parse_number(v, &o.rules.rolloff) && o.rules.rolloff >= 0 && o.rules.rolloff <= 1000)
                 return true;
             *e = "--rolloff must be a number from 0 to 1000";
             return false;
         }},
        {"stale-sec", true,
         [](S v, Options &o, std::string *e) {
             return seconds_value(v, 86400, &o.stale_sec, e, "stale-sec");
         }},
        {"index", true,
         [](S v, Options &o, std::string *e) {
             const auto k = parse_index(v);
             if (k)
                 o.index = *k;
             else
                 *e = "--index must be grid or naive";
             return k.has_value();
         }},
        {"threads", true,
         [](S v, Options &o, std::string *e) {
             unsigned long long n = 0;
             if (parse_count(v, 64, &n) && n >= 1) {
                 o.threads = static_cast<uint32_t>(n);
                 return true;
             }
             *e = "--threads must be a whole number from 1 to 64";
             return false;
         }},
        {"handshakes-per-minute", true,
         [](S v, Options &o, std::string *e) {
             return count_value(v, 1000000, &o.handshakes_per_minute, e, "handshakes-per-minute");
         }},
        {"max-links", true,
         [](S v, Options &o, std::string *e) {
             if (!count_value(v, 1000000, &o.max_links, e, "max-links")) return false;
             if (o.max_links > 0) return true;
             *e = "--max-links must be at least 1";
             return false;
         }},
    };
    return all;
}

} // namespace

bool parse_options(int argc, char **argv, Options *out, std::string *error) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (!arg.starts_with("--")) {
            *error = "unexpected argument '" + sanitize(arg) + "'";
            return false;
        }
        arg.remove_prefix(2);
        std::optional<std::string_view> value;
        if (const size_t eq = arg.find('='); eq != std::string_view::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
        }
        const Flag *flag = nullptr;
        for (const Flag &f : flags())
            if (f.name == arg) flag = &f;
        if (flag == nullptr) {
            *error = "unknown option --" + sanitize(arg);
            return false;
        }
        if (flag->takes_value && !value) {
            if (i + 1 >= argc) {
                *error = "--" + std::string(arg) + " needs a value";
                return false;
            }
            value = argv[++i];
        } else if (!flag->takes_value && value) {
            *error = "--" + std::string(arg) + " takes no value";
            return false;
        }
        if (!flag->apply(value.value_or(""), o, error)) return false;
    }
    if (!o.help && !o.print_demo) {
        if (o.demo && !o.scenario.empty()) {
            *error = "give --scenario FILE or --demo, not both";
            return false;
        }
        if (!o.control && !o.demo && o.scenario.empty()) {
            *error = "a mode is needed: --control PORT and/or --scenario FILE or --demo";
            return false;
        }
    }
    *out = std::move(o);
    return true;
}

} // namespace mvserver
