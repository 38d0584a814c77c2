// The world the load generator plays: N players on a square sized so that
// about 40 speakers stand within reach of each listener, walking at walking
// pace, some walls, and the probes that time pos-to-wire. Writes the control
// lines of each step; knows nothing of sockets.
//
// A probe is a pair of players: its listener stands still, and its beacon
// hops each step to the next of kBeaconSteps distances east of it, so that
// the beacon's gain in the listener's update names the step whose pos line
// it reflects, whatever the walkers round them do.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace mvload {

inline constexpr double kFar = 25; // the server's --far: range and reach
inline constexpr double kNear = 2; // the server's --near
inline constexpr double kTickHz = 10;
inline constexpr double kWalkMps = 1.4;
inline constexpr int kBeaconSteps = 16;

struct CrowdConfig {
    uint32_t players = 1000;
    double within_reach = 40; // speakers round a listener, on average
    uint32_t players_per_wall = 10;
    uint32_t players_per_probe = 100;
    uint64_t seed = 19;
};

class Crowd {
  public:
    explicit Crowd(const CrowdConfig &config);

    [[nodiscard]] uint32_t players() const { return static_cast<uint32_t>(walkers_.size()); }
    [[nodiscard]] uint32_t probes() const { return static_cast<uint32_t>(probe_listener_.size()); }
    [[nodiscard]] size_t walls() const { return walls_; }
    [[nodiscard]] double side() const { return side_; }

    [[nodiscard]] static std::string alias(uint32_t player);
    [[nodiscard]] static std::string hash(uint32_t player);
    // The loopback address player i links from: 127.1.0.0 onwards.
    [[nodiscard]] static uint32_t source_address(uint32_t player);

    // The player and wall lines, sent once.
    void append_setup(std::string &out);
    // One step: every player's pos line. *beacon_ends gets, for each probe,
    // the offset in out just past its beacon's line.
    void append_step(std::string &out, std::vector<size_t> *beacon_ends);
    [[nodiscard]] uint64_t step() const { return step_; }

    // For the listener's link: which probe it is (-1: none) and its beacon.
    [[nodiscard]] int probe_of_listener(uint32_t player) const { return probe_of_[player]; }
    [[nodiscard]] const std::string &beacon_alias(uint32_t probe) const { return beacon_alias_[probe]; }
    // The step (mod kBeaconSteps) whose beacon distance gives this gain in
    // thousandths, or -1 when none is within 5.
    [[nodiscard]] static int beacon_step_of_gain(int gain_milli);

  private:
    struct Walker {
        double x, y, heading;
    };
    std::mt19937_64 rng_;
    double side_ = 0;
    size_t walls_ = 0;
    std::vector<Walker> walkers_;
    std::vector<int> probe_of_;             // per player: the probe it listens for, or -1
    std::vector<uint32_t> probe_listener_;  // per probe
    std::vector<uint32_t> probe_beacon_;    // per probe
    std::vector<std::string> beacon_alias_; // per probe
    std::vector<uint8_t> role_;             // per player: 0 walker, 1 listener, 2 beacon
    uint64_t step_ = 0;
};

// The side of a square on which `players` spread uniformly have on average
// `within_reach` others within `reach` (the square's edges counted).
[[nodiscard]] double side_for_density(uint32_t players, double within_reach, double reach);

} // namespace mvload
