#include "scenario.h"

#include <cmath>
#include <fstream>
#include <sstream>

#include "control.h"
#include "text.h"

namespace mvserver {
namespace {

double lerp(double a, double b, double f) {
    return a + (b - a) * f;
}

// Turns the short way round; the result lies in [0, 360).
double lerp_heading(double a, double b, double f) {
    double d = std::fmod(b - a, 360.0);
    if (d > 180) d -= 360;
    if (d < -180) d += 360;
    const double h = std::fmod(a + d * f, 360.0);
    return h < 0 ? h + 360 : h;
}

bool parse_line(const std::string_view *w, size_t n, Scenario &s, std::string *error) {
    const std::string_view word = w[0];
    if (word != "loop" && word != "falloff" && word != "at" && word != "wall") {
        *error = "unknown word '" + sanitize(word) + "' (expected loop, falloff, at or wall)";
        return false;
    }
    double v[6] = {};
    const size_t first = word == "at" ? 3 : 1;
    for (size_t i = first; i < n && i - first < 6; ++i)
        if (!parse_number(w[i], &v[i - first]) || std::abs(v[i - first]) > 1e9) {
            *error = "'" + sanitize(w[i]) + "' is not a number of at most 1e9";
            return false;
        }
    const size_t count = n > first ? n - first : 0;
    if (word == "loop") {
        if (count != 1 || v[0] <= 0) {
            *error = "expected 'loop <seconds above 0>'";
            return false;
        }
        s.loop_sec = v[0];
    } else if (word == "falloff") {
        if (count != 2 || v[0] < 0 || v[1] <= v[0]) {
            *error = "expected 'falloff <near metres> <far metres>' with near < far";
            return false;
        }
        s.falloff = {v[0], v[1]};
    } else if (word == "wall") {
        if (count < 4 || count > 5 || (count == 5 && (v[4] < 0 || v[4] > 1))) {
            *error = "expected 'wall <x1> <y1> <x2> <y2> [muffle 0..1]'";
            return false;
        }
        s.walls.push_back({v[0], v[1], v[2], v[3], count == 5 ? v[4] : 1.0});
    } else {
        double t = 0;
        if (n < 5 || n > 6 || !parse_number(w[1], &t) || t < 0) {
            *error = "expected 'at <seconds> <alias> <x> <y> [heading]'";
            return false;
        }
        if (!valid_alias(w[2])) {
            *error = "not a voice alias: '" + sanitize(w[2]) + "'";
            return false;
        }
        Track *track = nullptr;
        for (Track &tr : s.tracks)
            if (fold(tr.alias) == fold(w[2])) track = &tr;
        if (track == nullptr) track = &s.tracks.emplace_back(Track{std::string(w[2]), {}});
        const double heading =
            count == 3 ? v[2] : (track->keys.empty() ? 0 : track->keys.back().pose.heading);
        if (!track->keys.empty() && t <= track->keys.back().t) {
            *error = "keyframes of " + track->alias + " must go forward in time";
            return false;
        }
        track->keys.push_back({t, {v[0], v[1], heading}});
    }
    return true;
}

} // namespace

bool parse_scenario(std::string_view text, Scenario *out, std::string *error) {
    Scenario s;
    size_t line_no = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        ++line_no;
        if (const size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        std::string_view w[8];
        const size_t n = split_words(line, w, 8);
        if (n == 0) continue;
        if (n > 8 || !parse_line(w, n, s, error)) {
            if (n > 8) *error = "too many words";
            error->insert(0, "line " + std::to_string(line_no) + ": ");
            return false;
        }
    }
    if (s.tracks.empty()) {
        *error = "no 'at' lines: the scenario places nobody";
        return false;
    }
    *out = std::move(s);
    return true;
}

bool read_file(const std::string &path, std::string *out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    *out = ss.str();
    return true;
}

bool load_scenario(const std::string &path, Scenario *out, std::string *error) {
    std::string text;
    if (!read_file(path, &text)) {
        *error = "cannot read " + path;
        return false;
    }
    if (!parse_scenario(text, out, error)) {
        error->insert(0, path + ": ");
        return false;
    }
    return true;
}

std::string_view demo_scenario_text() {
    return R"(# The demo: VC-Listener stands at the origin facing north while
#  - VC-Fox walks a circle of 4 m round them (heard from the front, the right,
#    behind, the left),
#  - VC-Heron walks past on their left, from far ahead to far behind,
#  - VC-Otter stands to the right, walks out of range and comes back,
#  - a wall south-east of the listener hides VC-Fox for about 3 s of each
#    loop: heard through it, VC-Fox is muffled (0.8).
loop 16
falloff 2 25
wall 0.5 -3.5 3.8 -0.8 0.8
at 0  VC-Listener  0 0 0
at 0  VC-Fox   0.00  4.00
at 1  VC-Fox   1.53  3.70
at 2  VC-Fox   2.83  2.83
at 3  VC-Fox   3.70  1.53
at 4  VC-Fox   4.00  0.00
at 5  VC-Fox   3.70 -1.53
at 6  VC-Fox   2.83 -2.83
at 7  VC-Fox   1.53 -3.70
at 8  VC-Fox   0.00 -4.00
at 9  VC-Fox  -1.53 -3.70
at 10 VC-Fox  -2.83 -2.83
at 11 VC-Fox  -3.70 -1.53
at 12 VC-Fox  -4.00  0.00
at 13 VC-Fox  -3.70  1.53
at 14 VC-Fox  -2.83  2.83
at 15 VC-Fox  -1.53  3.70
at 16 VC-Fox   0.00  4.00
at 0  VC-Heron  -3  24
at 16 VC-Heron  -3 -24
at 0  VC-Otter  10 0
at 5  VC-Otter  10 0
at 9  VC-Otter  30 0
at 11 VC-Otter  30 0
at 15 VC-Otter  10 0
)";
}

Pose pose_at(const Track &track, double t) {
    if (track.keys.empty()) return {};
    if (t <= track.keys.front().t) return track.keys.front().pose;
    for (size_t i = 1; i < track.keys.size(); ++i) {
        const Keyframe &a = track.keys[i - 1];
        const Keyframe &b = track.keys[i];
        if (t <= b.t) {
            const double f = (t - a.t) / (b.t - a.t);
            return {lerp(a.pose.x, b.pose.x, f), lerp(a.pose.y, b.pose.y, f),
                    lerp_heading(a.pose.heading, b.pose.heading, f)};
        }
    }
    return track.keys.back().pose;
}

double scenario_time(const Scenario &s, double t) {
    if (s.loop_sec <= 0 || t < 0) return t;
    return std::fmod(t, s.loop_sec);
}

} // namespace mvserver
