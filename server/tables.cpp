#include "tables.h"

#include <algorithm>
#include <cmath>

namespace mvserver {
namespace {

// Past this many walls within a listener's reach, walking the wall index's
// cells along each pair costs less than testing every near wall.
constexpr size_t kMaxNearWalls = 48;
constexpr double kNearMargin = 0.01; // metres

} // namespace

std::optional<IndexKind> parse_index(std::string_view name) {
    if (name == "grid") return IndexKind::grid;
    if (name == "naive") return IndexKind::naive;
    return std::nullopt;
}

void TableBuilder::prepare(const World &world) {
    if (kind_ != IndexKind::grid) return;
    grid_.build(world);
    if (world.walls_version() != walls_version_) {
        walls_.build(world.walls());
        walls_version_ = world.walls_version();
    }
    ++tick_;
}

void TableBuilder::gather_near_walls(const World &world, const Player &l, Scratch &sc) const {
    sc.use_near_ = false;
    const std::vector<Wall> &walls = world.walls();
    if (walls.empty()) return;
    if (sc.tick_ != tick_) { // the first listener of the tick for this scratch
        sc.tick_ = tick_;
        sc.cell_walls_.resize(grid_.cells());
        sc.cell_wall_ids_.clear();
    }
    // Every speaker stands within the largest range, so every pair's segment
    // lies in the listener's box, and that within its cell's square widened
    // by the range.
    const double r = grid_.reach() + kNearMargin;
    const uint32_t c = grid_.cell_of(l.x, l.y);
    CellWalls &cw = sc.cell_walls_[c];
    if (cw.tick != tick_) {
        WallIndex::Box square;
        grid_.cell_square(c, &square.x0, &square.y0, &square.x1, &square.y1);
        cw.tick = tick_;
        cw.first = static_cast<uint32_t>(sc.cell_wall_ids_.size());
        walls_.near({square.x0 - r, square.y0 - r, square.x1 + r, square.y1 + r}, sc.marks_,
                    sc.cell_wall_ids_);
        cw.count = static_cast<uint32_t>(sc.cell_wall_ids_.size()) - cw.first;
    }
    const WallIndex::Box mine{l.x - r, l.y - r, l.x + r, l.y + r};
    sc.near_.clear();
    for (uint32_t i = cw.first; i < cw.first + cw.count; ++i) {
        const uint32_t w = sc.cell_wall_ids_[i];
        const WallIndex::Box &b = walls_.box_of(w);
        if (b.x1 < mine.x0 || b.x0 > mine.x1 || b.y1 < mine.y0 || b.y0 > mine.y1) continue;
        if (sc.near_.size() == kMaxNearWalls) return;
        sc.near_.push_back({b, walls[w].segment, 1 - walls[w].muffle});
    }
    sc.use_near_ = true;
}

int32_t TableBuilder::muffle(const World &world, const Segment &s, Scratch &sc) const {
    const std::vector<Wall> &walls = world.walls();
    if (walls.empty()) return 0;
    if (sc.use_near_) {
        // In ascending wall order, as below, so that both give the same bits.
        const double x0 = std::min(s.x1, s.x2), x1 = std::max(s.x1, s.x2);
        const double y0 = std::min(s.y1, s.y2), y1 = std::max(s.y1, s.y2);
        double through = 1;
        for (const NearWall &w : sc.near_) {
            if (w.box.x1 < x0 || w.box.x0 > x1 || w.box.y1 < y0 || w.box.y0 > y1) continue;
            if (segments_meet(s, w.segment)) through *= w.through;
        }
        return to_milli(1 - through);
    }
    sc.crossing_.clear();
    if (kind_ == IndexKind::grid) {
        walls_.crossing(walls, s, sc.marks_, sc.crossing_);
    } else {
        for (uint32_t w = 0; w < walls.size(); ++w)
            if (segments_meet(s, walls[w].segment)) sc.crossing_.push_back(w);
    }
    // In ascending wall order either way, so that both give the same bits.
    double through = 1;
    for (const uint32_t w : sc.crossing_)
        through *= 1 - walls[w].muffle;
    return to_milli(1 - through);
}

void TableBuilder::consider(const World &world, const Player &l, const PlayerGrid::Item &s, Table &out,
                            Scratch &sc) const {
    if (s.id == l.id) return;
    const double dx = s.x - l.x, dy = s.y - l.y, dz = s.z - l.z;
    const double d2 = dx * dx + dy * dy + dz * dz;
    // Most of the 3x3 cells lie beyond reach: no root for them (the margin
    // leaves the exact test below to decide at the edge).
    if (d2 > s.range * s.range * (1 + 1e-9)) return;
    const double d = std::sqrt(d2);
    if (d >= s.range) return;
    Heard h;
    h.gain = to_milli(gain_at(rules_, d, s.range));
    if (h.gain <= 0) return;
    h.pan = to_milli(pan_of(dx, dy, l.sin_heading, l.cos_heading));
    h.muffle = muffle(world, {l.x, l.y, s.x, s.y}, sc);
    out.entries.push_back({s.id, s.slot, h});
}

void TableBuilder::build(const World &world, uint32_t listener, Table &out, Scratch &sc) const {
    out.entries.clear();
    out.update3 = !world.walls().empty();
    if (!world.active(listener)) return;
    const Player &l = world.player(listener);
    if (kind_ == IndexKind::grid) {
        gather_near_walls(world, l, sc);
        grid_.for_each_near(l.x, l.y, [&](const PlayerGrid::Item &s) { consider(world, l, s, out, sc); });
    } else {
        for (uint32_t s = 0; s < world.slots(); ++s) {
            if (!world.active(s)) continue;
            const Player &p = world.player(s);
            consider(world, l, {p.x, p.y, p.z, p.range, p.id, s}, out, sc);
        }
    }
    std::sort(out.entries.begin(), out.entries.end(),
              [](const TableEntry &a, const TableEntry &b) { return a.speaker_id < b.speaker_id; });
    // The game's own pairs replace the rules' entries, whatever the distance,
    // while both players are in the world.
    for (const HearPair &p : l.hears) {
        if (!world.active(p.speaker_slot)) continue;
        const auto it = std::lower_bound(out.entries.begin(), out.entries.end(), p.speaker_id,
                                         [](const TableEntry &e, uint64_t id) { return e.speaker_id < id; });
        const bool present = it != out.entries.end() && it->speaker_id == p.speaker_id;
        if (p.heard.gain <= 0) {
            if (present) out.entries.erase(it);
        } else if (present) {
            it->heard = p.heard;
        } else {
            out.entries.insert(it, {p.speaker_id, p.speaker_slot, p.heard});
        }
        if (p.heard.gain > 0 && p.heard.radio > 0) out.update3 = true;
    }
}

} // namespace mvserver
