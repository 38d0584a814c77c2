#include "wall_index.h"

#include <algorithm>
#include <cmath>

#include "world.h"

namespace mvserver {
namespace {

constexpr double kCell = 8;         // metres
constexpr double kMargin = 0.01;    // metres round a voice's segment
constexpr double kMaxEntries = 4e6; // wall-in-cell entries before the cells grow

int clamp_cell(double v, int n) {
    if (!(v >= 0)) return 0;
    return v >= n - 1 ? n - 1 : static_cast<int>(v);
}

} // namespace

int WallIndex::cell_x(double x) const {
    return clamp_cell(std::floor((x - ox_) / cell_), nx_);
}

int WallIndex::cell_y(double y) const {
    return clamp_cell(std::floor((y - oy_) / cell_), ny_);
}

void WallIndex::build(const std::vector<Wall> &walls) {
    boxes_.clear();
    if (walls.empty()) {
        nx_ = ny_ = 0;
        return;
    }
    Box all{walls[0].segment.x1, walls[0].segment.y1, walls[0].segment.x1, walls[0].segment.y1};
    for (const Wall &w : walls) {
        const Segment &s = w.segment;
        const Box b{std::min(s.x1, s.x2), std::min(s.y1, s.y2), std::max(s.x1, s.x2), std::max(s.y1, s.y2)};
        boxes_.push_back(b);
        all = {std::min(all.x0, b.x0), std::min(all.y0, b.y0), std::max(all.x1, b.x1),
               std::max(all.y1, b.y1)};
    }
    ox_ = all.x0;
    oy_ = all.y0;
    // Grow the cells while the grid or its entries would be too many.
    for (cell_ = kCell;; cell_ *= 2) {
        const double wx = std::floor((all.x1 - all.x0) / cell_) + 1,
                     wy = std::floor((all.y1 - all.y0) / cell_) + 1;
        double entries = wx * wy;
        for (const Box &b : boxes_)
            entries += (std::floor((b.x1 - b.x0) / cell_) + 2) * (std::floor((b.y1 - b.y0) / cell_) + 2);
        if (entries <= kMaxEntries) {
            nx_ = static_cast<int>(wx);
            ny_ = static_cast<int>(wy);
            break;
        }
    }
    const size_t cells = static_cast<size_t>(nx_) * static_cast<size_t>(ny_);
    start_.assign(cells + 1, 0);
    const auto each_cell = [&](const Box &b, auto &&f) {
        for (int cy = cell_y(b.y0); cy <= cell_y(b.y1); ++cy)
            for (int cx = cell_x(b.x0); cx <= cell_x(b.x1); ++cx)
                f(static_cast<size_t>(cy) * static_cast<size_t>(nx_) + static_cast<size_t>(cx));
    };
    for (const Box &b : boxes_)
        each_cell(b, [&](size_t c) { ++start_[c + 1]; });
    for (size_t c = 0; c < cells; ++c)
        start_[c + 1] += start_[c];
    items_.resize(start_[cells]);
    // Walls in ascending order within each cell.
    for (uint32_t w = 0; w < boxes_.size(); ++w)
        each_cell(boxes_[w], [&](size_t c) { items_[start_[c]++] = w; });
    for (size_t c = cells; c > 0; --c)
        start_[c] = start_[c - 1];
    start_[0] = 0;
}

template <class F> void WallIndex::each_new(int cx, int cy, const Box &box, Marks &marks, F &&f) const {
    const size_t c = static_cast<size_t>(cy) * static_cast<size_t>(nx_) + static_cast<size_t>(cx);
    for (uint32_t i = start_[c]; i < start_[c + 1]; ++i) {
        const uint32_t w = items_[i];
        if (marks.seen[w] == marks.query) continue;
        marks.seen[w] = marks.query;
        const Box &b = boxes_[w];
        if (b.x1 < box.x0 || b.x0 > box.x1 || b.y1 < box.y0 || b.y0 > box.y1) continue;
        f(w);
    }
}

bool WallIndex::next_query(Marks &marks) const {
    if (nx_ == 0) return false;
    // Marks left from other walls are older queries' numbers: harmless.
    if (marks.seen.size() != boxes_.size()) marks.seen.resize(boxes_.size(), 0);
    if (++marks.query == 0) { // wrapped: forget every old mark
        std::fill(marks.seen.begin(), marks.seen.end(), 0);
        marks.query = 1;
    }
    return true;
}

void WallIndex::near(const Box &box, Marks &marks, std::vector<uint32_t> &out) const {
    if (!next_query(marks)) return;
    const size_t first = out.size();
    for (int cy = cell_y(box.y0); cy <= cell_y(box.y1); ++cy)
        for (int cx = cell_x(box.x0); cx <= cell_x(box.x1); ++cx)
            each_new(cx, cy, box, marks, [&](uint32_t w) { out.push_back(w); });
    std::sort(out.begin() + static_cast<std::ptrdiff_t>(first), out.end());
}

void WallIndex::crossing(const std::vector<Wall> &walls, const Segment &s, Marks &marks,
                         std::vector<uint32_t> &out) const {
    if (!next_query(marks)) return;
    const Box box{std::min(s.x1, s.x2), std::min(s.y1, s.y2), std::max(s.x1, s.x2), std::max(s.y1, s.y2)};
    const size_t first = out.size();
    // Column by column, the cells the segment's own stretch of y passes
    // through, widened by the margin.
    const int c0 = cell_x(box.x0 - kMargin), c1 = cell_x(box.x1 + kMargin);
    const double dx = s.x2 - s.x1;
    for (int cx = c0; cx <= c1; ++cx) {
        double lo = box.y0, hi = box.y1;
        if (dx != 0) {
            const double xa = std::max(box.x0, ox_ + cx * cell_ - kMargin);
            const double xb = std::min(box.x1, ox_ + (cx + 1) * cell_ + kMargin);
            const double ya = s.y1 + (xa - s.x1) / dx * (s.y2 - s.y1);
            const double yb = s.y1 + (xb - s.x1) / dx * (s.y2 - s.y1);
            lo = std::max(box.y0, std::min(ya, yb));
            hi = std::min(box.y1, std::max(ya, yb));
        }
        for (int cy = cell_y(lo - kMargin); cy <= cell_y(hi + kMargin); ++cy)
            each_new(cx, cy, box, marks, [&](uint32_t w) {
                if (segments_meet(s, walls[w].segment)) out.push_back(w);
            });
    }
    std::sort(out.begin() + static_cast<std::ptrdiff_t>(first), out.end());
}

} // namespace mvserver
