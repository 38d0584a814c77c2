#include "scenario.h"

#include <algorithm>
#include <cmath>

#include "roster.h"
#include "text.h"

namespace mvtools {
namespace {

constexpr double kPi = 3.14159265358979323846;

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

struct Point {
    double x, y;
};

// Which side of the line a-b the point p lies on (0: on the line).
double cross(Point a, Point b, Point p) {
    return (b.x - a.x) * (p.y - a.y) - (b.y - a.y) * (p.x - a.x);
}

// Whether the segments p1-p2 and q1-q2 meet; touching counts.
bool segments_meet(Point p1, Point p2, Point q1, Point q2) {
    const double d1 = cross(q1, q2, p1), d2 = cross(q1, q2, p2), d3 = cross(p1, p2, q1),
                 d4 = cross(p1, p2, q2);
    if (((d1 > 0 && d2 < 0) || (d1 < 0 && d2 > 0)) && ((d3 > 0 && d4 < 0) || (d3 < 0 && d4 > 0))) return true;
    // An end on the other segment, collinear overlaps included.
    const auto on = [](Point a, Point b, Point p, double d) {
        return d == 0 && std::min(a.x, b.x) <= p.x && p.x <= std::max(a.x, b.x) &&
               std::min(a.y, b.y) <= p.y && p.y <= std::max(a.y, b.y);
    };
    return on(q1, q2, p1, d1) || on(q1, q2, p2, d2) || on(p1, p2, q1, d3) || on(p1, p2, q2, d4);
}

} // namespace

const Track *Scenario::find(std::string_view alias) const {
    for (const Track &t : tracks)
        if (iequals(t.alias, alias)) return &t;
    return nullptr;
}

double Scenario::length() const {
    if (loop_sec > 0) return loop_sec;
    double end = 0;
    for (const Track &t : tracks)
        if (!t.keys.empty()) end = std::max(end, t.keys.back().t);
    return end;
}

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
        const auto w = words(line);
        if (w.empty()) continue;
        const std::string where = "line " + std::to_string(line_no) + ": ";
        if (w[0] != "loop" && w[0] != "falloff" && w[0] != "at" && w[0] != "wall") {
            *error = where + "unknown word '" + std::string(w[0]) + "' (expected loop, falloff, at or wall)";
            return false;
        }
        std::vector<double> n;
        const size_t first_number = w[0] == "at" ? 3 : 1;
        for (size_t i = first_number; i < w.size(); ++i) {
            double v = 0;
            if (!parse_number(w[i], &v)) {
                *error = where + "'" + std::string(w[i]) + "' is not a number";
                return false;
            }
            n.push_back(v);
        }
        if (w[0] == "loop") {
            if (n.size() != 1 || n[0] <= 0) {
                *error = where + "expected 'loop <seconds above 0>'";
                return false;
            }
            s.loop_sec = n[0];
        } else if (w[0] == "falloff") {
            if (n.size() != 2 || n[0] < 0 || n[1] <= n[0]) {
                *error = where + "expected 'falloff <near metres> <far metres>' with near < far";
                return false;
            }
            s.falloff = {n[0], n[1]};
        } else if (w[0] == "wall") {
            if (n.size() < 4 || n.size() > 5 || (n.size() == 5 && (n[4] < 0 || n[4] > 1))) {
                *error = where + "expected 'wall <x1> <y1> <x2> <y2> [muffle 0..1]'";
                return false;
            }
            s.walls.push_back({n[0], n[1], n[2], n[3], n.size() == 5 ? n[4] : 1.0});
        } else if (w[0] == "at") {
            double t = 0;
            if (w.size() < 5 || w.size() > 6 || !parse_number(w[1], &t) || t < 0) {
                *error = where + "expected 'at <seconds> <alias> <x> <y> [heading]'";
                return false;
            }
            if (w[2].size() > kMaxAlias) {
                *error = where + "alias longer than 127 characters";
                return false;
            }
            Track *track = nullptr;
            for (Track &tr : s.tracks)
                if (iequals(tr.alias, w[2])) track = &tr;
            if (track == nullptr) track = &s.tracks.emplace_back(Track{std::string(w[2]), {}});
            const double heading =
                n.size() == 3 ? n[2] : (track->keys.empty() ? 0 : track->keys.back().pose.heading);
            if (!track->keys.empty() && t <= track->keys.back().t) {
                *error = where + "keyframes of " + track->alias + " must go forward in time";
                return false;
            }
            track->keys.push_back({t, {n[0], n[1], heading}});
        }
    }
    if (s.tracks.empty()) {
        *error = "no 'at' lines: the scenario places nobody";
        return false;
    }
    *out = std::move(s);
    return true;
}

bool load_scenario(const std::string &path, Scenario *out, std::string *error) {
    std::string text;
    if (!read_text_file(path, &text)) {
        *error = "cannot read " + path;
        return false;
    }
    if (!parse_scenario(text, out, error)) {
        *error = path + ": " + *error;
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

Heard hear(const Pose &listener, const Pose &speaker, const Falloff &falloff) {
    const double dx = speaker.x - listener.x;
    const double dy = speaker.y - listener.y;
    const double d = std::hypot(dx, dy);
    double gain = 1;
    if (d >= falloff.far_m)
        gain = 0;
    else if (d > falloff.near_m)
        gain = (falloff.far_m - d) / (falloff.far_m - falloff.near_m);
    // Bearing clockwise from north, relative to the listener's heading.
    const double pan = d < 1e-9 ? 0 : std::sin(std::atan2(dx, dy) - listener.heading * kPi / 180.0);
    return {gain, std::clamp(pan, -1.0, 1.0), d};
}

double muffle_between(const std::vector<Wall> &walls, const Pose &listener, const Pose &speaker) {
    double through = 1;
    for (const Wall &w : walls)
        if (segments_meet({listener.x, listener.y}, {speaker.x, speaker.y}, {w.x1, w.y1}, {w.x2, w.y2}))
            through *= 1 - w.muffle;
    return 1 - through;
}

std::vector<Entry> entries_for(const Scenario &s, std::string_view listener, double t) {
    const double st = scenario_time(s, t);
    const Track *me = s.find(listener);
    const Pose here = me != nullptr ? pose_at(*me, st) : Pose{};
    std::vector<Entry> out;
    for (const Track &track : s.tracks) {
        if (&track == me) continue;
        const Pose there = pose_at(track, st);
        const Heard h = hear(here, there, s.falloff);
        if (h.gain <= 0) continue;
        out.push_back({track.alias, static_cast<float>(h.gain), static_cast<float>(h.pan),
                       static_cast<float>(muffle_between(s.walls, here, there))});
    }
    return out;
}

std::string update_line(const Scenario &s, std::string_view listener, double t) {
    return format_update(entries_for(s, listener, t), !s.walls.empty());
}

} // namespace mvtools
