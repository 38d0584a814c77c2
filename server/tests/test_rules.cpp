// The rules against the formulas written out again here: distance models with
// rolloff, ranges, 3-D distance, pan round the compass and from above, walls,
// rounding to thousandths, and the game's own pairs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <numbers>
#include <random>

#include "world_support.h"

namespace mvserver::test {
namespace {

constexpr double kPi = std::numbers::pi;

struct Speaker {
    std::string alias;
    double x, y, z;
    double range = 0; // 0: the default, far
};

struct Case {
    const char *name;
    Rules rules;
    double heading; // the listener stands at the origin
    std::vector<Speaker> speakers;
    std::vector<std::array<double, 5>> walls; // x1 y1 x2 y2 muffle
};

double expected_gain(const Rules &r, double d, double range) {
    const double n = r.near_m * range / r.far_m;
    if (d >= range) return 0;
    if (d <= n) return 1;
    switch (r.model) {
    case Model::linear:
        return (range - d) / (range - n);
    case Model::inverse:
        return n / (n + r.rolloff * (d - n));
    case Model::exponential:
        return std::pow(d / n, -r.rolloff);
    }
    return 0;
}

// Whether (x, y) lies on the segment from the origin to (sx, sy) and on the wall.
bool crosses(double sx, double sy, const std::array<double, 5> &w) {
    // Solve origin + t*(s) = w1 + u*(w2 - w1) for t, u in [0, 1].
    const double ex = w[2] - w[0], ey = w[3] - w[1];
    const double den = sx * ey - sy * ex;
    if (den == 0) return false; // no parallel walls in these cases
    const double t = (w[0] * ey - w[1] * ex) / den;
    const double u = (w[0] * sy - w[1] * sx) / den;
    return t >= -1e-12 && t <= 1 + 1e-12 && u >= -1e-12 && u <= 1 + 1e-12;
}

std::string three(long long milli) {
    char b[32];
    std::snprintf(b, sizeof b, "%.3f", static_cast<double>(milli) / 1000);
    return b;
}

std::string expected_line(const Case &c) {
    std::string line = c.walls.empty() ? "UPDATE2" : "UPDATE3";
    bool first = true;
    for (const Speaker &s : c.speakers) {
        const double range = s.range > 0 ? s.range : c.rules.far_m;
        const double d = std::sqrt(s.x * s.x + s.y * s.y + s.z * s.z);
        const long long gain = std::llround(expected_gain(c.rules, d, range) * 1000);
        if (gain <= 0) continue;
        const double h = std::hypot(s.x, s.y);
        const double pan = h == 0 ? 0 : std::sin(std::atan2(s.x, s.y) - c.heading * kPi / 180);
        double through = 1;
        for (const auto &w : c.walls)
            if (crosses(s.x, s.y, w)) through *= 1 - w[4];
        line += (first ? " " : ", ") + s.alias + " " + three(gain) + " " + three(std::llround(pan * 1000));
        if (!c.walls.empty()) line += " " + three(std::llround((1 - through) * 1000));
        first = false;
    }
    return line + "\n";
}

Rules rules(Model m, double rolloff = 1, double near_m = 2, double far_m = 25) {
    return {near_m, far_m, m, rolloff};
}

TEST(Rules, TablesFollowTheFormulas) {
    const std::vector<Speaker> compass = {
        {"VC-N", 0, 10, 0}, {"VC-E", 10, 0, 0}, {"VC-S", 0, -10, 0}, {"VC-W", -10, 0, 0}, {"VC-Up", 0, 0, 6}};
    const Case cases[] = {
        {"linear_near_far_and_3d",
         rules(Model::linear),
         0,
         {{"VC-Close", 1, 1, 0}, {"VC-Mid", 3, -4, 0}, {"VC-AtFar", 0, -25, 0}, {"VC-3d", 3, 4, 12}},
         {}},
        {"heading_0", rules(Model::linear), 0, compass, {}},
        {"heading_90", rules(Model::linear), 90, compass, {}},
        {"heading_180", rules(Model::linear), 180, compass, {}},
        {"heading_270", rules(Model::linear), 270, compass, {}},
        {"heading_past_a_turn", rules(Model::linear), -450, compass, {}},
        {"inverse_rolloff_2", rules(Model::inverse, 2), 30, {{"VC-A", 2, 7, 0}, {"VC-B", -15, 3, 1}}, {}},
        {"inverse_rolloff_0", rules(Model::inverse, 0), 0, {{"VC-A", 2, 17, 0}}, {}},
        {"exponential_half", rules(Model::exponential, 0.5), 0, {{"VC-A", 2, 7, 0}, {"VC-B", -20, 3, 0}}, {}},
        {"near_0", rules(Model::linear, 1, 0, 10), 0, {{"VC-A", 0, 0.5, 0}, {"VC-B", 0, 9.9994, 0}}, {}},
        {"ranges_scale_near",
         rules(Model::linear, 1, 4, 20),
         0,
         {{"VC-Whisper", 1.5, 0, 0, 5}, {"VC-Whisper2", 3, 0, 0, 5}, {"VC-Shout", 60, 0, 0, 80}},
         {}},
        {"rounding_never_minus_zero",
         rules(Model::linear),
         0,
         {{"VC-A", -0.001, 5, 0}, {"VC-B", 0, 24.9996, 0}},
         {}},
        {"walls_two_and_an_end",
         rules(Model::linear),
         0,
         {{"VC-Through2", 0, 5, 0}, {"VC-Through1", 0, 2.5, 0}, {"VC-End", 2, 4, 0}, {"VC-Clear", 5, 5, 0}},
         {{-1, 2, 1, 2, 0.5}, {-1, 3, 1, 3, 0.5}}},
    };
    for (const Case &c : cases) {
        World w(c.rules.far_m);
        std::vector<std::string> lines = {"player VC-L h", "pos VC-L 0 0 0 " + std::to_string(c.heading)};
        for (const Speaker &s : c.speakers) {
            char pos[160];
            std::snprintf(pos, sizeof pos, "pos %s %.17g %.17g %.17g 0", s.alias.c_str(), s.x, s.y, s.z);
            lines.push_back("player " + s.alias + " h");
            lines.emplace_back(pos);
            if (s.range > 0) lines.push_back("range " + s.alias + " " + std::to_string(s.range));
        }
        for (size_t i = 0; i < c.walls.size(); ++i) {
            const auto &v = c.walls[i];
            char wall[160];
            std::snprintf(wall, sizeof wall, "wall w%zu %g %g %g %g %g", i, v[0], v[1], v[2], v[3], v[4]);
            lines.emplace_back(wall);
        }
        for (const std::string &refusal : feed(w, lines))
            ASSERT_EQ(refusal, "") << c.name;
        for (const IndexKind kind : {IndexKind::grid, IndexKind::naive})
            EXPECT_EQ(update_for(w, c.rules, "vc-l", kind), expected_line(c)) << c.name;
    }
}

// The worked example of the protocol's documentation, to the digit.
// Thousandths round half away from zero, as llround does, at the halves
// where a cheaper rounding would slip, and far beyond a table's values.
TEST(Rules, ThousandthsRoundAsLlround) {
    std::vector<double> values = {0,
                                  0.0005,
                                  -0.0005,
                                  0.0015,
                                  -0.0025,
                                  0.4995,
                                  -0.4995,
                                  0.9995,
                                  1,
                                  -1,
                                  1e-300,
                                  -1e-300,
                                  0.5004999999999999,
                                  2147483.6474,
                                  -2147483.6484,
                                  5e5,
                                  1e7,
                                  -1e7};
    for (double v : {0.0005, 0.0015, 0.9995}) {
        values.push_back(std::nextafter(v, 0.0));
        values.push_back(std::nextafter(v, 1.0));
        values.push_back(-std::nextafter(v, 1.0));
    }
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> any(-2, 2);
    std::uniform_int_distribution<int> milli(-2000, 2000);
    for (int i = 0; i < 20000; ++i) {
        values.push_back(any(rng));
        values.push_back((milli(rng) + 0.5) / 1000); // halves, as near as doubles get
    }
    for (const double v : values)
        ASSERT_EQ(to_milli(v), static_cast<int32_t>(std::llround(v * 1000))) << std::hexfloat << v;
}

TEST(Rules, TheDocumentedWallExample) {
    World w(25);
    feed(w, {"player VC-Listener h", "player VC-Fox h", "player VC-Heron h", "player VC-Otter h",
             "pos VC-Listener 0 0 0 0", "pos VC-Fox 2.83 -2.83 0 0", "pos VC-Heron -3 6 0 0",
             "pos VC-Otter 10 0 0 0", "wall w 0.5 -3.5 3.8 -0.8 0.8"});
    EXPECT_EQ(update_for(w, rules(Model::linear), "VC-Listener"),
              "UPDATE3 VC-Fox 0.913 0.707 0.800, VC-Heron 0.795 -0.447 0.000, VC-Otter 0.652 1.000 0.000\n");
}

TEST(Rules, TheGamesPairsOverrideTheRules) {
    const struct {
        std::vector<std::string> lines;
        const char *line; // what VC-L is sent after them
    } steps[] = {
        {{}, "UPDATE2 VC-Near 0.870 1.000\n"},
        {{"hear VC-L VC-Near 0.2 -0.5 0.1 0"}, "UPDATE2 VC-Near 0.200 -0.500\n"},
        {{"hear VC-L VC-Far 0.5 0.25 0 1"},
         "UPDATE3 VC-Near 0.200 -0.500 0.100, VC-Far 0.500 0.250 0.000 1.000\n"},
        {{"hear VC-L VC-Near 0 0 0 0"}, "UPDATE3 VC-Far 0.500 0.250 0.000 1.000\n"},
        {{"unhear VC-L VC-Near", "unhear VC-L VC-Near"},
         "UPDATE3 VC-Near 0.870 1.000 0.000, VC-Far 0.500 0.250 0.000 1.000\n"},
        {{"hear VC-L VC-Far 0.0004 0 0 1"}, "UPDATE2 VC-Near 0.870 1.000\n"}, // rounds to gain 0: gone
        {{"hear VC-L VC-Far 1 0 0 0.5", "leave VC-Far", "player VC-Far h", "pos VC-Far 100 0 0 0"},
         "UPDATE2 VC-Near 0.870 1.000\n"}, // a pair ends when a player leaves
    };
    World w(25);
    feed(w, {"player VC-L h", "player VC-Near h", "player VC-Far h", "pos VC-L 0 0 0 0",
             "pos VC-Near 5 0 0 0", "pos VC-Far 100 0 0 0"});
    for (const auto &s : steps) {
        for (const std::string &refusal : feed(w, s.lines))
            ASSERT_EQ(refusal, "");
        EXPECT_EQ(update_for(w, rules(Model::linear), "VC-L"), s.line) << (s.lines.empty() ? "" : s.lines[0]);
    }
    // A pair applies only while both are in the world: a stale speaker is out.
    feed(w, {"hear VC-L VC-Far 1 0 0 0"});
    feed(w, {"pos VC-L 0 0 0 0", "pos VC-Near 5 0 0 0"}, kNow + std::chrono::seconds(5));
    EXPECT_EQ(update_for(w, rules(Model::linear), "VC-L", IndexKind::grid, 2, kNow + std::chrono::seconds(5)),
              "UPDATE2 VC-Near 0.870 1.000\n");
}

} // namespace
} // namespace mvserver::test
