// The simulator's live table: what the listener hears from each speaker.
#pragma once

#include <string>
#include <vector>

#include "host/host.h"
#include "sim/simulation.h"

namespace mvtools {

struct ViewHeader {
    std::string plugin; // name and versions
    std::string link;   // where the plugin connects
};

// The table as plain text lines (no terminal codes).
[[nodiscard]] std::vector<std::string> render_table(const ViewHeader &header, const Snapshot &s, bool tapped);
// A bar of width cells with a marker at pan (-1 left .. +1 right).
[[nodiscard]] std::string pan_bar(double pan, int width);
[[nodiscard]] std::string event_line(const WireEvent &e);
// Per speaker, the muffle the server sent and the muffle heard.
[[nodiscard]] std::vector<std::string> muffle_report(const std::vector<Series> &series);
// The run's clicks (see ClickMeter).
[[nodiscard]] std::vector<std::string> click_report(const RunRecord &run);
// Whether the plugin kept the host's rules: the calls it made, the contract
// violations found, and calls to slots the stand-in does not serve.
[[nodiscard]] std::vector<std::string> host_report(const mvhost::Host &host,
                                                   const std::vector<std::string> &violations);

} // namespace mvtools
