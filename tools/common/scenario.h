// Where the players stand over time, and what a listener hears from that.
//
// Scenario file (times in seconds, positions in metres, x east, y north,
// headings in degrees clockwise from north):
//   loop 16              the scenario repeats every 16 s (omit: hold the end)
//   falloff 2 25         full gain within 2 m, silent from 25 m on
//   at 0 VC-Fox 0 4      a keyframe; positions between keyframes are linear
//   at 0 VC-Listener 0 0 90   an optional heading: the way the player faces
//   wall 1 -3 4 -1 0.8   a wall from (1,-3) to (4,-1): a speaker whose straight
//                        line to the listener crosses it is heard muffled by
//                        0.8 (0 clear .. 1 fully; omitted: 1)
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "wire.h"

namespace mvtools {

struct Pose {
    double x = 0;
    double y = 0;
    double heading = 0; // degrees clockwise from north
};

struct Keyframe {
    double t;
    Pose pose;
};

struct Track {
    std::string alias;
    std::vector<Keyframe> keys; // sorted by time
};

// A wall between two points, and how much it muffles a voice heard through it.
struct Wall {
    double x1, y1, x2, y2;
    double muffle = 1;
};

struct Falloff {
    double near_m = 2;
    double far_m = 25;
};

struct Scenario {
    double loop_sec = 0; // 0: no repeat
    Falloff falloff;
    std::vector<Track> tracks;
    std::vector<Wall> walls; // with any, updates are UPDATE3 and carry a muffle

    [[nodiscard]] const Track *find(std::string_view alias) const;
    // The scenario's end: the loop length, or the last keyframe.
    [[nodiscard]] double length() const;
};

bool parse_scenario(std::string_view text, Scenario *out, std::string *error);
bool load_scenario(const std::string &path, Scenario *out, std::string *error);
// The built-in demo: a few players walking around VC-Listener.
[[nodiscard]] std::string_view demo_scenario_text();

// A track's pose at time t (scenario seconds, before any loop is applied).
[[nodiscard]] Pose pose_at(const Track &track, double t);
// Time within the scenario after applying its loop.
[[nodiscard]] double scenario_time(const Scenario &s, double t);

// Gain from the distance (1 within near, 0 from far on, linear between) and
// pan from the bearing relative to where the listener faces: sin(bearing),
// +1 fully right.
struct Heard {
    double gain;
    double pan;
    double distance;
};
[[nodiscard]] Heard hear(const Pose &listener, const Pose &speaker, const Falloff &falloff);

// The muffle of a voice from speaker to listener: each wall that the straight
// line between them crosses (or touches) lets through 1 - its muffle, so two
// walls of 0.5 make 0.75.
[[nodiscard]] double muffle_between(const std::vector<Wall> &walls, const Pose &listener,
                                    const Pose &speaker);

// What the server sends to listener at scenario time t: one entry per other
// player whose gain is above 0. A listener without a track stands at the
// origin facing north.
[[nodiscard]] std::vector<Entry> entries_for(const Scenario &s, std::string_view listener, double t);
// The same as a line: UPDATE2, or UPDATE3 with the muffle when there are walls.
[[nodiscard]] std::string update_line(const Scenario &s, std::string_view listener, double t);

} // namespace mvtools
