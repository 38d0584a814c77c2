#include "player_grid.h"

#include <algorithm>
#include <cmath>

#include "world.h"

namespace mvserver {
namespace {

// Keeps the grid's size in proportion to the players when they stand far
// apart with short ranges: wider cells stay correct, only less selective.
size_t max_cells(size_t players) {
    return std::max<size_t>(4096, 4 * players);
}

int clamp_cell(double v, int n) {
    if (!(v >= 0)) return 0;
    return v >= n - 1 ? n - 1 : static_cast<int>(v);
}

} // namespace

int PlayerGrid::cell_x(double x) const {
    return clamp_cell(std::floor((x - ox_) / cell_), nx_);
}

int PlayerGrid::cell_y(double y) const {
    return clamp_cell(std::floor((y - oy_) / cell_), ny_);
}

uint32_t PlayerGrid::cell_of(double x, double y) const {
    return static_cast<uint32_t>(cell_y(y) * nx_ + cell_x(x));
}

void PlayerGrid::cell_square(uint32_t cell, double *x0, double *y0, double *x1, double *y1) const {
    const auto cx = static_cast<double>(cell % static_cast<uint32_t>(nx_));
    const auto cy = static_cast<double>(cell / static_cast<uint32_t>(nx_));
    *x0 = ox_ + cx * cell_;
    *y0 = oy_ + cy * cell_;
    *x1 = *x0 + cell_;
    *y1 = *y0 + cell_;
}

void PlayerGrid::build(const World &world) {
    listed_.clear();
    double min_x = 0, max_x = 0, min_y = 0, max_y = 0, max_range = 0;
    for (uint32_t s = 0; s < world.slots(); ++s) {
        if (!world.active(s)) continue;
        const Player &p = world.player(s);
        if (listed_.empty()) {
            min_x = max_x = p.x;
            min_y = max_y = p.y;
        }
        min_x = std::min(min_x, p.x);
        max_x = std::max(max_x, p.x);
        min_y = std::min(min_y, p.y);
        max_y = std::max(max_y, p.y);
        max_range = std::max(max_range, p.range);
        listed_.push_back(s);
    }
    reach_ = max_range;
    if (listed_.empty()) {
        nx_ = ny_ = 0;
        return;
    }
    // A little wider than the largest range, so that rounding in the cell
    // arithmetic can never separate two players within reach by two cells.
    cell_ = std::max(max_range, 1.0) * 1.001;
    ox_ = min_x;
    oy_ = min_y;
    double wx = std::floor((max_x - min_x) / cell_) + 1, wy = std::floor((max_y - min_y) / cell_) + 1;
    const auto limit = static_cast<double>(max_cells(listed_.size()));
    while (wx * wy > limit) {
        cell_ *= 2;
        wx = std::floor((max_x - min_x) / cell_) + 1;
        wy = std::floor((max_y - min_y) / cell_) + 1;
    }
    nx_ = static_cast<int>(wx);
    ny_ = static_cast<int>(wy);
    const size_t cells = static_cast<size_t>(nx_) * static_cast<size_t>(ny_);

    start_.assign(cells + 1, 0);
    cell_of_.resize(listed_.size());
    for (size_t i = 0; i < listed_.size(); ++i) {
        const Player &p = world.player(listed_[i]);
        const auto c = static_cast<uint32_t>(static_cast<size_t>(cell_y(p.y)) * static_cast<size_t>(nx_) +
                                             static_cast<size_t>(cell_x(p.x)));
        cell_of_[i] = c;
        ++start_[c + 1];
    }
    for (size_t c = 0; c < cells; ++c)
        start_[c + 1] += start_[c];
    items_.resize(listed_.size());
    // start_[c] walks forward as the cell fills, then is put back.
    for (size_t i = 0; i < listed_.size(); ++i) {
        const Player &p = world.player(listed_[i]);
        items_[start_[cell_of_[i]]++] = {p.x, p.y, p.z, p.range, p.id, listed_[i]};
    }
    for (size_t c = cells; c > 0; --c)
        start_[c] = start_[c - 1];
    start_[0] = 0;
}

} // namespace mvserver
