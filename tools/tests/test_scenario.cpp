// The reference server's scenarios: what a listener hears from where the
// players stand, through walls.
#include <gtest/gtest.h>

#include <cmath>

#include "common/scenario.h"

namespace mvtools {
namespace {

TEST(Scenario, GainFallsPanFollowsTheBearingAndWallsMuffle) {
    const struct {
        Pose listener, speaker;
        double gain, pan, muffle; // walls at y = 2 and y = 3 from x = -1 to 1, 0.5 each
    } cases[] = {
        {{0, 0, 0}, {0, 1, 0}, 1.0, 0.0, 0},      // in front, within near
        {{0, 0, 0}, {5, 0, 0}, 0.7, 1.0, 0},      // right
        {{0, 0, 0}, {-7, 0, 0}, 0.5, -1.0, 0},    // left
        {{0, 0, 0}, {0, -12, 0}, 0.0, 0.0, 0},    // behind, at far: silent
        {{0, 0, 90}, {0, 5, 0}, 0.7, -1.0, 0.75}, // facing east, north is left; through both walls
        {{0, 0, 0}, {0, 2.5, 0}, 0.95, 0.0, 0.5},
        {{0, 0, 0},
         {2, 4, 0},
         (12 - std::sqrt(20.0)) / 10,
         std::sin(std::atan2(2, 4)),
         0.5},                                                                  // touches an end
        {{0, 0, 0}, {5, 5, 0}, (12 - std::sqrt(50.0)) / 10, std::sqrt(0.5), 0}, // passes them by
    };
    const std::vector<Wall> walls = {{-1, 2, 1, 2, 0.5}, {-1, 3, 1, 3, 0.5}};
    for (const auto &c : cases) {
        const Heard h = hear(c.listener, c.speaker, {2, 12});
        const double muffle = muffle_between(walls, c.listener, c.speaker);
        EXPECT_NEAR(std::abs(h.gain - c.gain) + std::abs(h.pan - c.pan) + std::abs(muffle - c.muffle), 0,
                    1e-9)
            << c.speaker.x << "," << c.speaker.y << ": " << h.gain << " " << h.pan << " " << muffle;
    }
    Scenario s;
    std::string error;
    EXPECT_FALSE(parse_scenario("at 0 VC-a 0 0\nwall 0 0 1 1 1.5\n", &s, &error)); // muffle beyond 1
    ASSERT_TRUE(parse_scenario(
        "falloff 2 12\nwall -1 2 1 2 0.5\nat 0 VC-Me 0 0\nat 0 VC-Near 0 7\nat 0 VC-Far 0 30\n", &s, &error));
    EXPECT_EQ(update_line(s, "vc-me", 0), "UPDATE3 VC-Near 0.5000 0.0000 0.5000\n");
}

} // namespace
} // namespace mvtools
