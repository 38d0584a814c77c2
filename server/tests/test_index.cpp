// The spatial index against the naive all-pairs loop: a thousand players
// with random positions, headings, ranges, walls, pairs and stale players
// must get the very same tables either way.
#include <gtest/gtest.h>

#include <random>

#include "world_support.h"

namespace mvserver::test {
namespace {

TEST(Index, TheGridGivesTheNaiveLoopsTables) {
    std::mt19937 rng(20261206);
    std::uniform_real_distribution<double> coord(-200, 200), unit(0, 1);
    World w(25);
    std::vector<std::string> lines;
    char buf[200];
    for (int i = 0; i < 1000; ++i) {
        const std::string alias = "VC-" + std::to_string(i);
        lines.push_back("player " + alias + " h");
        if (i % 50 == 7) continue; // never placed
        std::snprintf(buf, sizeof buf, "pos %s %.6f %.6f %.3f %.2f", alias.c_str(), coord(rng), coord(rng),
                      unit(rng) * 6, unit(rng) * 720 - 360);
        lines.emplace_back(buf);
        if (i % 4 == 0) lines.push_back("range " + alias + " " + std::to_string(3 + unit(rng) * 60));
    }
    for (int i = 0; i < 80; ++i) {
        const double x = coord(rng), y = coord(rng), len = 1 + unit(rng) * 40, a = unit(rng) * 6.3;
        std::snprintf(buf, sizeof buf, "wall w%d %.4f %.4f %.4f %.4f %.2f", i, x, y, x + len * std::cos(a),
                      y + len * std::sin(a), unit(rng));
        lines.emplace_back(buf);
    }
    for (int i = 0; i < 150; ++i)
        lines.push_back("hear VC-" + std::to_string(i * 7 % 1000) + " VC-" +
                        std::to_string(i * 13 % 997 + 1) + " " +
                        std::to_string(unit(rng) < 0.2 ? 0 : unit(rng)) + " 0.3 0.1 " +
                        std::to_string(unit(rng) < 0.5 ? 0 : unit(rng)));
    feed(w, lines);
    // A tenth of the players last placed long ago: stale.
    for (int i = 0; i < 1000; i += 10)
        if (i % 50 != 7) {
            std::snprintf(buf, sizeof buf, "pos VC-%d %.3f 0 0 0", i, coord(rng));
            feed(w, {buf}, kNow - std::chrono::seconds(30));
        }

    w.refresh(kNow, 10);
    TableBuilder grid(Rules{}, IndexKind::grid), naive(Rules{}, IndexKind::naive);
    grid.prepare(w);
    naive.prepare(w);
    Table a, b;
    size_t entries = 0, muffled = 0, differ = 0;
    for (uint32_t s = 0; s < w.slots(); ++s) {
        grid.build(w, s, a);
        naive.build(w, s, b);
        differ += a != b;
        entries += a.entries.size();
        for (const TableEntry &e : a.entries)
            muffled += e.heard.muffle > 0;
    }
    EXPECT_EQ(differ, 0u);
    // The world is one where the index has work to do.
    EXPECT_GT(entries, 5000u);
    EXPECT_GT(muffled, 500u);
}

} // namespace
} // namespace mvserver::test
