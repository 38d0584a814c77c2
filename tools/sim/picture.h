// The simulator's picture: what the listener heard from each speaker over the
// run (gain, pan, muffle), and a close look at one channel's multiplier round
// a change, for each run compared.
#pragma once

#include <string>
#include <vector>

namespace mvtools {

// One speaker's lines, a point per audio block.
struct Series {
    std::string label;
    std::vector<double> t;
    std::vector<double> gain;
    std::vector<double> pan;         // NaN where the speaker was silent
    std::vector<double> muffle;      // heard; NaN where silent
    std::vector<double> sent_muffle; // what the server sent; NaN where it named nobody of that alias
};

// A channel's multiplier, a point per millisecond.
struct Envelope {
    std::string label;
    std::vector<double> values;
};

struct Picture {
    std::string title;
    std::vector<Series> series;
    double t_end = 0;
    // The close look; left out when there are no envelopes.
    std::string detail_title;
    double detail_lead_ms = 0; // the change, from the envelopes' start
    std::vector<Envelope> envelopes;
};

[[nodiscard]] std::string render_svg(const Picture &picture);

// The colour of the i-th speaker's lines, in the picture and on the map.
[[nodiscard]] const char *series_colour(size_t i);
// Text made safe inside an SVG element or attribute.
[[nodiscard]] std::string xml_escape(const std::string &s);

} // namespace mvtools
