// Roster and scenario files, and what a listener hears from a position.
#include <gtest/gtest.h>

#include <cmath>

#include "common/roster.h"
#include "common/scenario.h"

namespace mvtools {
namespace {

TEST(Roster, ParsesKeyAndPlayers) {
    Roster r;
    std::string error;
    ASSERT_TRUE(
        parse_roster("# comment\n\nkey k3y\nplayer VC-Fox abc123\r\nplayer VC-Heron 00ff\n", &r, &error))
        << error;
    EXPECT_EQ(r.key, "k3y");
    ASSERT_EQ(r.players.size(), 2u);
    ASSERT_NE(r.find("vc-fox"), nullptr);
    EXPECT_EQ(r.find("vc-fox")->hash, "abc123");
    EXPECT_EQ(r.find("VC-Otter"), nullptr);
}

TEST(Roster, RejectsWhatWouldLockPlayersOut) {
    const std::pair<std::string, std::string> cases[] = {
        {"player VC-a h\n", "no 'key'"},
        {"key a b\n", "line 1"},
        {"key k\nplayer VC-a\n", "line 2"},
        {"key k\nplayer VC-a h\nplayer vc-A h2\n", "twice"},
        {"key k\nplayer " + std::string(128, 'a') + " h\n", "127"},
        {"key k\nplayers VC-a h\n", "unknown word"},
    };
    for (const auto &[text, why] : cases) {
        Roster r;
        std::string error;
        EXPECT_FALSE(parse_roster(text, &r, &error)) << text;
        EXPECT_NE(error.find(why), std::string::npos) << text << " -> " << error;
    }
}

TEST(Scenario, RejectsBadLinesWithTheirNumber) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "places nobody"},
        {"loop 0\nat 0 VC-a 0 0\n", "line 1"},
        {"falloff 5 2\nat 0 VC-a 0 0\n", "near < far"},
        {"at 0 VC-a 0\n", "line 1"},
        {"at 0 VC-a 0 x\n", "'x' is not a number"},
        {"at 2 VC-a 0 0\nat 1 VC-a 1 1\n", "forward in time"},
        {"walk 0 VC-a 0 0\n", "unknown word"},
    };
    for (const auto &[text, why] : cases) {
        Scenario s;
        std::string error;
        EXPECT_FALSE(parse_scenario(text, &s, &error)) << text;
        EXPECT_NE(error.find(why), std::string::npos) << text << " -> " << error;
    }
}

TEST(Scenario, InterpolatesHoldsAndLoops) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(parse_scenario("loop 10 # repeat\nat 2 VC-a 0 0 350\nat 4 VC-a 4 -2 10\n", &s, &error))
        << error;
    const Track &t = *s.find("vc-a");
    struct Case {
        double t, x, y, heading;
    };
    const Case cases[] = {
        {0, 0, 0, 350}, // before the first keyframe: its pose
        {3, 2, -1, 0},  // halfway, turning the short way through north
        {4, 4, -2, 10},
        {9, 4, -2, 10}, // after the last: held
    };
    for (const Case &c : cases) {
        const Pose p = pose_at(t, c.t);
        EXPECT_NEAR(p.x, c.x, 1e-9) << c.t;
        EXPECT_NEAR(p.y, c.y, 1e-9) << c.t;
        EXPECT_NEAR(p.heading, c.heading, 1e-9) << c.t;
    }
    EXPECT_NEAR(scenario_time(s, 13), 3, 1e-9);
    EXPECT_DOUBLE_EQ(s.length(), 10);
}

TEST(Hear, GainFallsWithDistanceAndPanFollowsTheBearing) {
    const Falloff f{2, 12};
    struct Case {
        Pose listener, speaker;
        double gain, pan;
    };
    const Case cases[] = {
        {{0, 0, 0}, {0, 1, 0}, 1.0, 0.0},   // in front, within near
        {{0, 0, 0}, {5, 0, 0}, 0.7, 1.0},   // right
        {{0, 0, 0}, {-7, 0, 0}, 0.5, -1.0}, // left
        {{0, 0, 0}, {0, -12, 0}, 0.0, 0.0}, // behind, at far: silent
        {{0, 0, 90}, {0, 5, 0}, 0.7, -1.0}, // facing east, north is left
        {{1, 1, 0}, {1 + 3, 1 + 3, 0}, (12 - std::sqrt(18.0)) / 10, std::sqrt(0.5)},
        {{0, 0, 0}, {0, 0, 0}, 1.0, 0.0}, // same spot: centre
    };
    for (const Case &c : cases) {
        const Heard h = hear(c.listener, c.speaker, f);
        EXPECT_NEAR(h.gain, c.gain, 1e-9);
        EXPECT_NEAR(h.pan, c.pan, 1e-9);
    }
}

TEST(EntriesFor, NamesOthersInRangeOnly) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(
        parse_scenario("falloff 2 12\nat 0 VC-Me 0 0\nat 0 VC-Near 5 0\nat 0 VC-Far 0 30\n", &s, &error));
    const auto e = entries_for(s, "vc-me", 0);
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].alias, "VC-Near");
    EXPECT_FLOAT_EQ(e[0].gain, 0.7f);
    EXPECT_FLOAT_EQ(e[0].pan, 1.0f);
    // A listener the scenario does not place stands at the origin.
    EXPECT_EQ(entries_for(s, "VC-Stranger", 0).size(), 2u);
}

TEST(DemoScenario, ParsesAndMovesEveryone) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(parse_scenario(demo_scenario_text(), &s, &error)) << error;
    EXPECT_NE(s.find("VC-Listener"), nullptr);
    EXPECT_GE(s.tracks.size(), 4u);
    // Over the loop every speaker is heard at some point.
    for (const Track &t : s.tracks) {
        if (t.alias == "VC-Listener") continue;
        bool heard = false;
        for (double time = 0; time < s.length(); time += 0.5)
            for (const Entry &e : entries_for(s, "VC-Listener", time))
                heard = heard || e.alias == t.alias;
        EXPECT_TRUE(heard) << t.alias;
    }
}

} // namespace
} // namespace mvtools
