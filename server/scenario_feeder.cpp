#include "scenario_feeder.h"

#include <string>

namespace mvserver {

ScenarioFeeder::ScenarioFeeder(Scenario scenario, World &world, TimePoint now)
    : scenario_(std::move(scenario)) {
    for (const Track &t : scenario_.tracks) {
        const auto known = world.find(t.alias);
        const uint32_t slot = known ? *known : world.upsert(t.alias, "", std::nullopt)->slot;
        players_.push_back({slot, world.player(slot).id});
    }
    for (size_t i = 0; i < scenario_.walls.size(); ++i) {
        const ScenarioWall &w = scenario_.walls[i];
        world.set_wall("scenario-" + std::to_string(i + 1), {w.x1, w.y1, w.x2, w.y2}, w.muffle);
    }
    feed(world, now);
}

void ScenarioFeeder::start_clock(TimePoint now) {
    if (!start_) start_ = now;
}

void ScenarioFeeder::feed(World &world, TimePoint now) const {
    const double t =
        start_ ? scenario_time(scenario_, std::chrono::duration<double>(now - *start_).count()) : 0;
    for (size_t i = 0; i < players_.size(); ++i) {
        // A control line may have removed the player; the track then rests.
        if (world.player(players_[i].slot).id != players_[i].id) continue;
        const Pose p = pose_at(scenario_.tracks[i], t);
        world.place(players_[i].slot, p.x, p.y, 0, p.heading, now);
    }
}

} // namespace mvserver
