// The demo's map: the world seen from above, read from a game's transcript of
// the control lines it sent (each after the time it went, in seconds since
// 1970, as the example games write it). It draws each player's path during a
// run, the walls, and who the listener heard: at each second of the run a
// line to every speaker heard then, dashed for a radio pair.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "sim/run_record.h"

namespace mvtools {

struct WorldTrack {
    struct Point {
        double t, x, y;
    };
    struct Wall {
        std::string id;
        double x1, y1, x2, y2, muffle;
    };
    std::map<std::string, std::vector<Point>> paths;        // by alias, in time order
    std::vector<Wall> walls;                                // as they stood at the end
    std::vector<std::pair<std::string, std::string>> radio; // listener, speaker
};

// false with the reason when the file cannot be read.
bool load_world(const std::string &path, WorldTrack *out, std::string *error);

// The map of the run (its series tell who was heard when), from listener's side.
[[nodiscard]] std::string render_map(const WorldTrack &world, const RunRecord &run,
                                     const std::string &listener);

// Two SVG pictures side by side in one.
[[nodiscard]] std::string side_by_side(const std::string &left, const std::string &right);

} // namespace mvtools
