// Segments in the horizontal plane: whether a voice's straight line meets a
// wall.
#pragma once

namespace mvserver {

struct Segment {
    double x1, y1, x2, y2;
};

// Whether the two segments meet; touching (an end on the other segment,
// collinear overlap) counts.
[[nodiscard]] bool segments_meet(const Segment &p, const Segment &q);

} // namespace mvserver
