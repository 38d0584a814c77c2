// Each listener's table: who it hears and how, in integer thousandths,
// ordered by the speaker's unique id, so that "changed since the last one
// sent" is a plain comparison. Built through the spatial index, or by the
// naive all-pairs loop kept for comparison; both evaluate a pair the same way.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "player_grid.h"
#include "rules.h"
#include "wall_index.h"
#include "world.h"

namespace mvserver {

struct TableEntry {
    uint64_t speaker_id;
    uint32_t speaker_slot; // follows from the id; not compared
    Heard heard;
    friend bool operator==(const TableEntry &a, const TableEntry &b) {
        return a.speaker_id == b.speaker_id && a.heard == b.heard;
    }
};

struct Table {
    bool update3 = false; // walls exist, or an entry carries radio
    std::vector<TableEntry> entries;
    friend bool operator==(const Table &, const Table &) = default;
};

enum class IndexKind { grid, naive };
[[nodiscard]] std::optional<IndexKind> parse_index(std::string_view name);

class TableBuilder {
    // A wall near the listener, with what the pair test needs at hand.
    struct NearWall {
        WallIndex::Box box;
        Segment segment;
        double through; // 1 - muffle
    };
    // The walls within reach of each player cell, gathered when a listener
    // of the cell first needs them in a tick.
    struct CellWalls {
        uint64_t tick = 0;
        uint32_t first = 0, count = 0;
    };

  public:
    // What building a table writes: one per thread, so that threads build
    // tables at once while the builder itself is only read.
    class Scratch {
        friend class TableBuilder;
        WallIndex::Marks marks_;
        std::vector<uint32_t> crossing_;
        uint64_t tick_ = 0; // the tick cell_walls_ belongs to
        std::vector<CellWalls> cell_walls_;
        std::vector<uint32_t> cell_wall_ids_;
        // The walls within the listener's reach, when few enough to test each
        // against every pair; else the wall index answers pair by pair.
        std::vector<NearWall> near_;
        bool use_near_ = false;
    };

    TableBuilder(const Rules &rules, IndexKind kind) : rules_(rules), kind_(kind) {}

    // Once per tick, after World::refresh.
    void prepare(const World &world);
    // The listener's table into out (its capacity kept). The same table
    // whichever scratch builds it.
    void build(const World &world, uint32_t listener, Table &out, Scratch &scratch) const;
    void build(const World &world, uint32_t listener, Table &out) { build(world, listener, out, own_); }

    [[nodiscard]] const Rules &rules() const { return rules_; }
    [[nodiscard]] IndexKind kind() const { return kind_; }

  private:
    void gather_near_walls(const World &world, const Player &listener, Scratch &scratch) const;
    void consider(const World &world, const Player &listener, const PlayerGrid::Item &speaker, Table &out,
                  Scratch &scratch) const;
    [[nodiscard]] int32_t muffle(const World &world, const Segment &s, Scratch &scratch) const;

    Rules rules_;
    IndexKind kind_;
    PlayerGrid grid_;
    WallIndex walls_;
    uint64_t walls_version_ = ~uint64_t{0};
    uint64_t tick_ = 0;
    Scratch own_; // for the single-threaded build
};

} // namespace mvserver
