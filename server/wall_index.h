// The walls in a grid of their own, cells a few metres wide, each wall listed
// in every cell its bounding box touches. A voice's segment visits only the
// cells along it (with a small margin), so a pair meets only the walls near
// it. Rebuilt when the walls change; between rebuilds it is only read, so
// threads may query it at once, each with its own Marks.
#pragma once

#include <cstdint>
#include <vector>

#include "geometry.h"

namespace mvserver {

struct Wall;

class WallIndex {
  public:
    void build(const std::vector<Wall> &walls);

    struct Box {
        double x0, y0, x1, y1;
    };

    // A querier's own record of the walls met in its current query, so that
    // a wall listed in several cells counts once.
    struct Marks {
        std::vector<uint32_t> seen; // per wall: the query that last met it
        uint32_t query = 0;
    };

    // Appends to out the indices (in walls) of the walls that the segment
    // meets, in ascending order.
    void crossing(const std::vector<Wall> &walls, const Segment &s, Marks &marks,
                  std::vector<uint32_t> &out) const;
    // Appends to out the walls whose bounding box meets the box, each once,
    // in ascending order.
    void near(const Box &box, Marks &marks, std::vector<uint32_t> &out) const;
    [[nodiscard]] const Box &box_of(uint32_t wall) const { return boxes_[wall]; }

  private:
    [[nodiscard]] int cell_x(double x) const;
    [[nodiscard]] int cell_y(double y) const;
    bool next_query(Marks &marks) const;
    // Calls f(wall) for each wall of the cell not yet met in this query whose
    // box meets the box.
    template <class F> void each_new(int cx, int cy, const Box &box, Marks &marks, F &&f) const;

    double ox_ = 0, oy_ = 0, cell_ = 8;
    int nx_ = 0, ny_ = 0;
    std::vector<uint32_t> start_;
    std::vector<uint32_t> items_;
    std::vector<Box> boxes_;
};

} // namespace mvserver
