// A uniform grid over x/y of the players in the world, with cells at least
// as wide as the largest range: every speaker a listener can hear stands in
// the 3x3 block of cells round the listener's. Rebuilt each tick into flat
// arrays by a counting sort; the arrays keep their capacity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mvserver {

class World;

class PlayerGrid {
  public:
    // What a pair needs of a speaker, kept cell by cell so that a listener's
    // scan reads memory in order.
    struct Item {
        double x, y, z, range;
        uint64_t id;
        uint32_t slot;
    };

    void build(const World &world);
    // The largest range in the world: no pair is farther apart.
    [[nodiscard]] double reach() const { return reach_; }
    [[nodiscard]] size_t cells() const { return start_.empty() ? 0 : start_.size() - 1; }
    // The cell of a point in the world, and the square it covers.
    [[nodiscard]] uint32_t cell_of(double x, double y) const;
    void cell_square(uint32_t cell, double *x0, double *y0, double *x1, double *y1) const;

    // Calls f(item) for every player in the world in the 3x3 block round
    // (x, y), the listener included.
    template <class F> void for_each_near(double x, double y, F &&f) const {
        if (nx_ == 0) return;
        const int cx = cell_x(x), cy = cell_y(y);
        for (int gy = cy > 0 ? cy - 1 : 0; gy <= cy + 1 && gy < ny_; ++gy) {
            const size_t row = static_cast<size_t>(gy) * static_cast<size_t>(nx_);
            const size_t from = row + static_cast<size_t>(cx > 0 ? cx - 1 : 0);
            const size_t to = row + static_cast<size_t>(cx + 1 < nx_ ? cx + 1 : nx_ - 1);
            for (uint32_t i = start_[from]; i < start_[to + 1]; ++i)
                f(items_[i]);
        }
    }

  private:
    [[nodiscard]] int cell_x(double x) const;
    [[nodiscard]] int cell_y(double y) const;

    double ox_ = 0, oy_ = 0, cell_ = 1, reach_ = 0;
    int nx_ = 0, ny_ = 0;
    std::vector<uint32_t> start_;   // per cell, where its slots begin in items_; one more at the end
    std::vector<Item> items_;       // cell by cell
    std::vector<uint32_t> cell_of_; // scratch: each listed slot's cell
    std::vector<uint32_t> listed_;  // scratch: the slots in the world
};

} // namespace mvserver
