// The command line of marlpike-falloff-server.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "rules.h"
#include "tables.h"
#include "tick_pool.h"

namespace mvserver {

struct Options {
    bool help = false;
    bool print_demo = false;
    std::string roster;
    std::string scenario;
    bool demo = false;
    std::string bind = "127.0.0.1";
    uint16_t port = 8890;
    std::string port_file;
    double rate_hz = 10;
    double ping_sec = 15;
    double idle_timeout_sec = 60;
    double seconds = 0;
    std::string log;
    std::optional<uint16_t> control;
    std::string control_port_file;
    std::string control_bind = "127.0.0.1";
    std::string key_file;
    Rules rules;
    bool near_given = false, far_given = false;
    double stale_sec = 10;
    IndexKind index = IndexKind::grid;
    uint32_t threads = default_threads();
    uint32_t handshakes_per_minute = 30;
    uint32_t max_links = 20000;
};

// false with a message in *error; a mode (--control, --scenario or --demo)
// is required unless --help or --print-demo.
bool parse_options(int argc, char **argv, Options *out, std::string *error);

extern const char kUsage[];

} // namespace mvserver
