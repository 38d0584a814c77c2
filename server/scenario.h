// Scenario files: where players stand over time, for demos and tests. The
// scenario feeder places them in the same world the control lines feed.
//
// Scenario file (times in seconds, positions in metres, x east, y north,
// headings in degrees clockwise from north):
//   loop 16              the scenario repeats every 16 s (omit: hold the end)
//   falloff 2 25         full gain within 2 m, silent from 25 m on
//   at 0 VC-Fox 0 4      a keyframe; positions between keyframes are linear
//   at 0 VC-Listener 0 0 90   an optional heading: the way the player faces
//   wall 1 -3 4 -1 0.8   a wall from (1,-3) to (4,-1) muffling 0.8 (omitted: 1)
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mvserver {

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

struct ScenarioWall {
    double x1, y1, x2, y2;
    double muffle = 1;
};

struct Scenario {
    double loop_sec = 0;                              // 0: no repeat
    std::optional<std::pair<double, double>> falloff; // near, far
    std::vector<Track> tracks;
    std::vector<ScenarioWall> walls;
};

bool parse_scenario(std::string_view text, Scenario *out, std::string *error);
bool load_scenario(const std::string &path, Scenario *out, std::string *error);
// The built-in demo: a few players walking round VC-Listener.
[[nodiscard]] std::string_view demo_scenario_text();

// A track's pose at scenario time t (before any loop is applied).
[[nodiscard]] Pose pose_at(const Track &track, double t);
// Time within the scenario after applying its loop.
[[nodiscard]] double scenario_time(const Scenario &s, double t);

// Whole file as bytes; false when it cannot be read.
bool read_file(const std::string &path, std::string *out);

} // namespace mvserver
