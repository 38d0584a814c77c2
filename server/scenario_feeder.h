// Plays a scenario into the world: its tracks become players (those the
// roster knows keep their hash and can link; the others are speakers only),
// its walls become walls, and each tick places every track where the
// scenario has it. The scenario's clock starts with the first established
// link, so that a listener hears it from the beginning.
#pragma once

#include <optional>
#include <vector>

#include "scenario.h"
#include "world.h"

namespace mvserver {

class ScenarioFeeder {
  public:
    ScenarioFeeder(Scenario scenario, World &world, TimePoint now);

    void start_clock(TimePoint now);
    [[nodiscard]] bool clock_started() const { return start_.has_value(); }
    // Places every track at the scenario's time for now.
    void feed(World &world, TimePoint now) const;

  private:
    Scenario scenario_;
    struct Placed {
        uint32_t slot;
        uint64_t id;
    };
    std::vector<Placed> players_; // per track
    std::optional<TimePoint> start_;
};

} // namespace mvserver
