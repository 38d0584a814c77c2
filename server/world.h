// The world the game describes: players (alias, certificate hash, optional
// bound address, position, heading, range, when last placed), walls, and the
// pairs the game decides itself. Pure data with no clock of its own: the
// caller passes the time.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "address.h"
#include "geometry.h"

namespace mvserver {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

// What a listener hears of a speaker, in thousandths.
struct Heard {
    int32_t gain = 0;
    int32_t pan = 0;
    int32_t muffle = 0;
    int32_t radio = 0;
    friend bool operator==(const Heard &, const Heard &) = default;
};

// A pair the game decided: the listener hears this speaker exactly so.
struct HearPair {
    uint64_t speaker_id;
    uint32_t speaker_slot;
    Heard heard;
};

struct Player {
    uint64_t id = 0; // unique for the life of the server; 0: a free slot
    std::string alias;
    std::string hash; // the text of the certificate hash; empty: cannot link
    std::optional<Address> address;
    bool placed = false;
    double x = 0, y = 0, z = 0;
    double sin_heading = 0, cos_heading = 1;
    double range = 0;
    TimePoint last_pos{};
    std::vector<HearPair> hears; // as the listener, ordered by speaker id
};

struct Wall {
    std::string id;
    Segment segment;
    double muffle;
};

class World {
  public:
    static constexpr size_t kMaxPlayers = 1'000'000;
    static constexpr size_t kMaxWalls = 100'000;
    static constexpr size_t kMaxHearsPerListener = 1024;

    explicit World(double default_range) : default_range_(default_range) {}

    struct Upserted {
        uint32_t slot;
        bool added;
        bool credentials_changed; // hash or address of a known player
    };
    // Adds a player or replaces one's hash and address (its position, range
    // and pairs stay); nothing when the world is full.
    std::optional<Upserted> upsert(std::string_view alias, std::string_view hash,
                                   const std::optional<Address> &address);
    // Without regard to ASCII case.
    [[nodiscard]] std::optional<uint32_t> find(std::string_view alias) const;
    // The player leaves: its slot is freed and it leaves every pair.
    void remove(uint32_t slot);

    void place(uint32_t slot, double x, double y, double z, double heading_deg, TimePoint now);
    void set_range(uint32_t slot, double metres) { players_[slot].range = metres; }
    // false when there are too many walls already.
    bool set_wall(std::string_view id, const Segment &s, double muffle);
    void remove_wall(std::string_view id);
    // false when the listener has too many pairs already.
    bool hear(uint32_t listener, uint32_t speaker, const Heard &heard);
    void unhear(uint32_t listener, uint32_t speaker);

    // Decides who is in the world at now: placed, and placed again within
    // stale_sec (0: never stale).
    void refresh(TimePoint now, double stale_sec);
    [[nodiscard]] bool active(uint32_t slot) const { return active_[slot] != 0; }

    [[nodiscard]] const Player &player(uint32_t slot) const { return players_[slot]; }
    [[nodiscard]] uint32_t slots() const { return static_cast<uint32_t>(players_.size()); }
    [[nodiscard]] size_t players() const { return by_alias_.size(); }
    [[nodiscard]] const std::vector<Wall> &walls() const { return walls_; }
    // Changes whenever a wall is added, moved or removed.
    [[nodiscard]] uint64_t walls_version() const { return walls_version_; }

  private:
    double default_range_;
    uint64_t next_id_ = 1;
    std::vector<Player> players_;
    std::vector<uint8_t> active_;
    std::vector<uint32_t> free_;
    std::unordered_map<std::string, uint32_t> by_alias_; // folded alias -> slot
    std::vector<Wall> walls_;
    std::unordered_map<std::string, size_t> wall_index_;
    uint64_t walls_version_ = 0;
    size_t listeners_with_pairs_ = 0;
};

} // namespace mvserver
