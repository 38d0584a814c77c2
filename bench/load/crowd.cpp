#include "load/crowd.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace mvload {
namespace {

constexpr double kPi = 3.14159265358979323846;

double beacon_distance(int step) {
    return 3 + 1.25 * step; // 3 to 21.75 m: 54 thousandths of gain apart
}

int expected_gain(int step) {
    const double d = beacon_distance(step);
    return static_cast<int>(std::lround((kFar - d) / (kFar - kNear) * 1000));
}

void append_fixed(std::string &out, double v, int decimals) {
    char buf[48];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
    out.append(buf, r.ptr);
}

void append_pos(std::string &out, uint32_t player, double x, double y, double heading) {
    out += "pos ";
    out += Crowd::alias(player);
    out += ' ';
    append_fixed(out, x, 3);
    out += ' ';
    append_fixed(out, y, 3);
    out += " 0 ";
    append_fixed(out, heading, 1);
    out += '\n';
}

} // namespace

double side_for_density(uint32_t players, double within_reach, double reach) {
    // The mean area of a disc of radius r about a uniform point of a square
    // of side L, clipped to the square: pi r^2 - 8 r^3 / (3 L) + r^4 / (2 L^2).
    const auto neighbours = [&](double l) {
        const double r = reach;
        const double area = kPi * r * r - 8 * r * r * r / (3 * l) + r * r * r * r / (2 * l * l);
        return (players - 1.0) * area / (l * l);
    };
    double lo = reach, hi = 1e7;
    for (int i = 0; i < 200; ++i) {
        const double mid = (lo + hi) / 2;
        (neighbours(mid) > within_reach ? lo : hi) = mid;
    }
    return (lo + hi) / 2;
}

Crowd::Crowd(const CrowdConfig &c) : rng_(c.seed) {
    side_ = side_for_density(c.players, c.within_reach, kFar);
    std::uniform_real_distribution<double> at(0, side_), turn(0, 360);
    walkers_.resize(c.players);
    for (Walker &w : walkers_)
        w = {at(rng_), at(rng_), turn(rng_)};
    role_.assign(c.players, 0);
    probe_of_.assign(c.players, -1);
    // Probes spread over the players: listener i, beacon i + 1.
    const uint32_t probes = std::max<uint32_t>(1, c.players / c.players_per_probe);
    for (uint32_t p = 0; p < probes && 2 * p + 1 < c.players; ++p) {
        const uint32_t listener = p * (c.players / probes), beacon = listener + 1;
        probe_of_[listener] = static_cast<int>(p);
        role_[listener] = 1;
        role_[beacon] = 2;
        probe_listener_.push_back(listener);
        probe_beacon_.push_back(beacon);
        beacon_alias_.push_back(alias(beacon));
    }
    walls_ = c.players_per_wall ? c.players / c.players_per_wall : 0;
}

std::string Crowd::alias(uint32_t player) {
    return "VC-" + std::to_string(player);
}

std::string Crowd::hash(uint32_t player) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "cert%08x", player * 2654435761u);
    return buf;
}

uint32_t Crowd::source_address(uint32_t player) {
    return (127u << 24) | (1u << 16) | player; // 127.1.0.0 + player, up to 65 536 players
}

void Crowd::append_setup(std::string &out) {
    char addr[32];
    for (uint32_t i = 0; i < players(); ++i) {
        const uint32_t a = source_address(i);
        std::snprintf(addr, sizeof addr, "%u.%u.%u.%u", a >> 24, (a >> 16) & 255, (a >> 8) & 255, a & 255);
        out += "player " + alias(i) + " " + hash(i) + " " + addr + "\n";
    }
    // Walls 4 to 20 m long, any way round, muffling 0.3 to 0.8.
    std::uniform_real_distribution<double> at(0, side_), len(4, 20), angle(0, 2 * kPi), muffle(0.3, 0.8);
    for (size_t i = 0; i < walls_; ++i) {
        const double x = at(rng_), y = at(rng_), l = len(rng_), a = angle(rng_);
        out += "wall w" + std::to_string(i) + " ";
        append_fixed(out, x, 2);
        out += ' ';
        append_fixed(out, y, 2);
        out += ' ';
        append_fixed(out, x + l * std::cos(a), 2);
        out += ' ';
        append_fixed(out, y + l * std::sin(a), 2);
        out += ' ';
        append_fixed(out, muffle(rng_), 2);
        out += '\n';
    }
}

void Crowd::append_step(std::string &out, std::vector<size_t> *beacon_ends) {
    // A random walk: a small turn each step, reflected at the square's edges.
    std::normal_distribution<double> turn(0, 15);
    const double stride = kWalkMps / kTickHz;
    for (uint32_t i = 0; i < players(); ++i) {
        Walker &w = walkers_[i];
        if (role_[i] == 0) {
            w.heading = std::fmod(w.heading + turn(rng_) + 360, 360);
            const double rad = w.heading * kPi / 180;
            w.x += stride * std::sin(rad);
            w.y += stride * std::cos(rad);
            if (w.x < 0 || w.x > side_) {
                w.x = std::clamp(w.x, 0.0, side_);
                w.heading = 360 - w.heading;
            }
            if (w.y < 0 || w.y > side_) {
                w.y = std::clamp(w.y, 0.0, side_);
                w.heading = std::fmod(540 - w.heading, 360);
            }
        }
        if (role_[i] != 2) append_pos(out, i, w.x, w.y, w.heading);
    }
    beacon_ends->clear();
    const int k = static_cast<int>(step_ % kBeaconSteps);
    for (uint32_t p = 0; p < probes(); ++p) {
        const Walker &l = walkers_[probe_listener_[p]];
        append_pos(out, probe_beacon_[p], l.x + beacon_distance(k), l.y, 0);
        beacon_ends->push_back(out.size());
    }
    ++step_;
}

int Crowd::beacon_step_of_gain(int gain_milli) {
    for (int k = 0; k < kBeaconSteps; ++k)
        if (std::abs(expected_gain(k) - gain_milli) <= 5) return k;
    return -1;
}

} // namespace mvload
