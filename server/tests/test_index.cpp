// The spatial index against the naive all-pairs loop: worlds with random
// positions, headings, ranges, walls, pairs and stale players must get the
// very same tables either way. The scattered world has few walls near each
// listener; the maze has so many that the index walks its cells pair by pair.
// The grid's tables are built once more by three threads at once, each with
// its own scratch, as the server's tick builds them: the same again.
#include <gtest/gtest.h>

#include <random>

#include "server/tick_pool.h"
#include "world_support.h"

namespace mvserver::test {
namespace {

struct WorldCase {
    const char *name;
    int players;
    double side; // metres: players and walls within [-side/2, side/2]
    int walls;
    double wall_len; // at most
    bool grid_walls; // axis-aligned walls on whole metres, meeting end to end
    size_t min_entries, min_muffled;
};

std::vector<std::string> world_lines(const WorldCase &c, std::mt19937 &rng) {
    std::uniform_real_distribution<double> coord(-c.side / 2, c.side / 2), unit(0, 1);
    std::vector<std::string> lines;
    char buf[200];
    for (int i = 0; i < c.players; ++i) {
        const std::string alias = "VC-" + std::to_string(i);
        lines.push_back("player " + alias + " h");
        if (i % 50 == 7) continue; // never placed
        // Some stand on whole metres, so on wall ends and on each other.
        const bool snapped = c.grid_walls && i % 5 == 0;
        const double x = snapped ? std::round(coord(rng)) : coord(rng);
        const double y = snapped ? std::round(coord(rng)) : coord(rng);
        std::snprintf(buf, sizeof buf, "pos %s %.6f %.6f %.3f %.2f", alias.c_str(), x, y,
                      snapped ? 0 : unit(rng) * 6, unit(rng) * 720 - 360);
        lines.emplace_back(buf);
        if (i % 4 == 0) lines.push_back("range " + alias + " " + std::to_string(3 + unit(rng) * 60));
    }
    for (int i = 0; i < c.walls; ++i) {
        double x = coord(rng), y = coord(rng), x2, y2;
        const double len = 1 + unit(rng) * (c.wall_len - 1);
        if (c.grid_walls) {
            x = std::round(x);
            y = std::round(y);
            const bool across = i % 2 == 0;
            x2 = across ? x + std::round(len) : x;
            y2 = across ? y : y + std::round(len);
        } else {
            const double a = unit(rng) * 6.3;
            x2 = x + len * std::cos(a);
            y2 = y + len * std::sin(a);
        }
        std::snprintf(buf, sizeof buf, "wall w%d %.4f %.4f %.4f %.4f %.2f", i, x, y, x2, y2, unit(rng));
        lines.emplace_back(buf);
    }
    for (int i = 0; i < 150; ++i)
        lines.push_back("hear VC-" + std::to_string(i * 7 % c.players) + " VC-" +
                        std::to_string(i * 13 % (c.players - 3) + 1) + " " +
                        std::to_string(unit(rng) < 0.2 ? 0 : unit(rng)) + " 0.3 0.1 " +
                        std::to_string(unit(rng) < 0.5 ? 0 : unit(rng)));
    return lines;
}

TEST(Index, TheGridGivesTheNaiveLoopsTables) {
    const WorldCase cases[] = {
        {"scattered", 1000, 400, 80, 40, false, 5000, 500},
        {"maze round a crowd", 400, 60, 400, 8, true, 3000, 2000},
    };
    for (const WorldCase &c : cases) {
        SCOPED_TRACE(c.name);
        std::mt19937 rng(20261206);
        World w(25);
        const auto refused = feed(w, world_lines(c, rng));
        ASSERT_EQ(std::count(refused.begin(), refused.end(), ""), static_cast<long>(refused.size()));
        // A tenth of the players last placed long ago: stale.
        std::uniform_real_distribution<double> coord(-c.side / 2, c.side / 2);
        char buf[100];
        for (int i = 0; i < c.players; i += 10)
            if (i % 50 != 7) {
                std::snprintf(buf, sizeof buf, "pos VC-%d %.3f 0 0 0", i, coord(rng));
                feed(w, {buf}, kNow - std::chrono::seconds(30));
            }

        w.refresh(kNow, 10);
        TableBuilder grid(Rules{}, IndexKind::grid), naive(Rules{}, IndexKind::naive);
        grid.prepare(w);
        naive.prepare(w);
        TickPool pool(3);
        std::vector<TableBuilder::Scratch> scratch(pool.size());
        std::vector<Table> pooled(w.slots());
        auto share = [&](unsigned worker) {
            const auto [first, last] = share_of(w.slots(), worker, pool.size());
            for (uint32_t s = first; s < last; ++s)
                grid.build(w, s, pooled[s], scratch[worker]);
        };
        pool.run(share);
        Table a, b;
        size_t entries = 0, muffled = 0, differ = 0, differ_pooled = 0;
        for (uint32_t s = 0; s < w.slots(); ++s) {
            grid.build(w, s, a);
            naive.build(w, s, b);
            differ += a != b;
            differ_pooled += pooled[s] != b;
            entries += a.entries.size();
            for (const TableEntry &e : a.entries)
                muffled += e.heard.muffle > 0;
        }
        EXPECT_EQ(differ, 0u);
        EXPECT_EQ(differ_pooled, 0u);
        // The world is one where the index has work to do.
        EXPECT_GT(entries, c.min_entries);
        EXPECT_GT(muffled, c.min_muffled);
    }
}

} // namespace
} // namespace mvserver::test
