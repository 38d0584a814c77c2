#include "world.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "text.h"

namespace mvserver {
namespace {

constexpr double kPi = std::numbers::pi;

auto pair_at(std::vector<HearPair> &hears, uint64_t speaker_id) {
    return std::lower_bound(hears.begin(), hears.end(), speaker_id,
                            [](const HearPair &p, uint64_t id) { return p.speaker_id < id; });
}

} // namespace

std::optional<World::Upserted> World::upsert(std::string_view alias, std::string_view hash,
                                             const std::optional<Address> &address) {
    std::string key = fold(alias);
    if (const auto it = by_alias_.find(key); it != by_alias_.end()) {
        Player &p = players_[it->second];
        const bool changed = p.hash != hash || p.address != address;
        p.alias = alias;
        p.hash = hash;
        p.address = address;
        return Upserted{it->second, false, changed};
    }
    if (by_alias_.size() >= kMaxPlayers) return std::nullopt;
    uint32_t slot;
    if (!free_.empty()) {
        slot = free_.back();
        free_.pop_back();
    } else {
        slot = static_cast<uint32_t>(players_.size());
        players_.emplace_back();
        active_.push_back(0);
    }
    Player &p = players_[slot];
    p.id = next_id_++;
    p.alias = alias;
    p.hash = hash;
    p.address = address;
    p.range = default_range_;
    by_alias_.emplace(std::move(key), slot);
    return Upserted{slot, true, false};
}

std::optional<uint32_t> World::find(std::string_view alias) const {
    const auto it = by_alias_.find(fold(alias));
    if (it == by_alias_.end()) return std::nullopt;
    return it->second;
}

void World::remove(uint32_t slot) {
    Player &gone = players_[slot];
    by_alias_.erase(fold(gone.alias));
    if (!gone.hears.empty()) --listeners_with_pairs_;
    // Pairs in which it speaks, kept by their listeners.
    for (uint32_t s = 0; s < players_.size() && listeners_with_pairs_ > 0; ++s) {
        std::vector<HearPair> &hears = players_[s].hears;
        if (hears.empty()) continue;
        const auto it = pair_at(hears, gone.id);
        if (it != hears.end() && it->speaker_id == gone.id) {
            hears.erase(it);
            if (hears.empty()) --listeners_with_pairs_;
        }
    }
    gone = Player{};
    active_[slot] = 0;
    free_.push_back(slot);
}

void World::place(uint32_t slot, double x, double y, double z, double heading_deg, TimePoint now) {
    Player &p = players_[slot];
    const double rad = std::fmod(heading_deg, 360.0) * kPi / 180.0;
    p.placed = true;
    p.x = x;
    p.y = y;
    p.z = z;
    p.sin_heading = std::sin(rad);
    p.cos_heading = std::cos(rad);
    p.last_pos = now;
}

bool World::set_wall(std::string_view id, const Segment &s, double muffle) {
    const std::string key(id);
    if (const auto it = wall_index_.find(key); it != wall_index_.end()) {
        walls_[it->second].segment = s;
        walls_[it->second].muffle = muffle;
    } else {
        if (walls_.size() >= kMaxWalls) return false;
        wall_index_.emplace(key, walls_.size());
        walls_.push_back({key, s, muffle});
    }
    ++walls_version_;
    return true;
}

void World::remove_wall(std::string_view id) {
    const auto it = wall_index_.find(std::string(id));
    if (it == wall_index_.end()) return;
    const size_t i = it->second;
    wall_index_.erase(it);
    if (i + 1 != walls_.size()) {
        walls_[i] = std::move(walls_.back());
        wall_index_[walls_[i].id] = i;
    }
    walls_.pop_back();
    ++walls_version_;
}

bool World::hear(uint32_t listener, uint32_t speaker, const Heard &heard) {
    std::vector<HearPair> &hears = players_[listener].hears;
    const uint64_t id = players_[speaker].id;
    const auto it = pair_at(hears, id);
    if (it != hears.end() && it->speaker_id == id) {
        it->heard = heard;
        return true;
    }
    if (hears.size() >= kMaxHearsPerListener) return false;
    if (hears.empty()) ++listeners_with_pairs_;
    hears.insert(it, HearPair{id, speaker, heard});
    return true;
}

void World::unhear(uint32_t listener, uint32_t speaker) {
    std::vector<HearPair> &hears = players_[listener].hears;
    const uint64_t id = players_[speaker].id;
    const auto it = pair_at(hears, id);
    if (it == hears.end() || it->speaker_id != id) return;
    hears.erase(it);
    if (hears.empty()) --listeners_with_pairs_;
}

void World::refresh(TimePoint now, double stale_sec) {
    const auto stale_after = std::chrono::duration<double>(stale_sec);
    for (uint32_t s = 0; s < players_.size(); ++s) {
        const Player &p = players_[s];
        active_[s] = p.id != 0 && p.placed && (stale_sec <= 0 || now - p.last_pos <= stale_after);
    }
}

} // namespace mvserver
