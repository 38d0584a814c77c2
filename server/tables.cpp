#include "tables.h"

#include <algorithm>
#include <cmath>

namespace mvserver {

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
}

int32_t TableBuilder::muffle(const World &world, const Segment &s) {
    const std::vector<Wall> &walls = world.walls();
    if (walls.empty()) return 0;
    crossing_.clear();
    if (kind_ == IndexKind::grid) {
        walls_.crossing(walls, s, crossing_);
    } else {
        for (uint32_t w = 0; w < walls.size(); ++w)
            if (segments_meet(s, walls[w].segment)) crossing_.push_back(w);
    }
    // In ascending wall order either way, so that both give the same bits.
    double through = 1;
    for (const uint32_t w : crossing_)
        through *= 1 - walls[w].muffle;
    return to_milli(1 - through);
}

void TableBuilder::consider(const World &world, const Player &l, const PlayerGrid::Item &s, Table &out) {
    if (s.id == l.id) return;
    const double dx = s.x - l.x, dy = s.y - l.y, dz = s.z - l.z;
    const double d = std::sqrt(dx * dx + dy * dy + dz * dz);
    if (d >= s.range) return;
    Heard h;
    h.gain = to_milli(gain_at(rules_, d, s.range));
    if (h.gain <= 0) return;
    h.pan = to_milli(pan_of(dx, dy, l.sin_heading, l.cos_heading));
    h.muffle = muffle(world, {l.x, l.y, s.x, s.y});
    out.entries.push_back({s.id, s.slot, h});
}

void TableBuilder::build(const World &world, uint32_t listener, Table &out) {
    out.entries.clear();
    out.update3 = !world.walls().empty();
    if (!world.active(listener)) return;
    const Player &l = world.player(listener);
    if (kind_ == IndexKind::grid) {
        grid_.for_each_near(l.x, l.y, [&](const PlayerGrid::Item &s) { consider(world, l, s, out); });
    } else {
        for (uint32_t s = 0; s < world.slots(); ++s) {
            if (!world.active(s)) continue;
            const Player &p = world.player(s);
            consider(world, l, {p.x, p.y, p.z, p.range, p.id, s}, out);
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
