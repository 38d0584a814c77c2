#include "geometry.h"

#include <algorithm>

namespace mvserver {
namespace {

// Which side of the line a-b the point p lies on (0: on the line).
double cross(double ax, double ay, double bx, double by, double px, double py) {
    return (bx - ax) * (py - ay) - (by - ay) * (px - ax);
}

bool within(double a, double b, double v) {
    return std::min(a, b) <= v && v <= std::max(a, b);
}

// p, known to be on the line of s, lies on s itself.
bool on_segment(const Segment &s, double px, double py) {
    return within(s.x1, s.x2, px) && within(s.y1, s.y2, py);
}

} // namespace

bool segments_meet(const Segment &p, const Segment &q) {
    const double d1 = cross(q.x1, q.y1, q.x2, q.y2, p.x1, p.y1);
    const double d2 = cross(q.x1, q.y1, q.x2, q.y2, p.x2, p.y2);
    const double d3 = cross(p.x1, p.y1, p.x2, p.y2, q.x1, q.y1);
    const double d4 = cross(p.x1, p.y1, p.x2, p.y2, q.x2, q.y2);
    if (((d1 > 0 && d2 < 0) || (d1 < 0 && d2 > 0)) && ((d3 > 0 && d4 < 0) || (d3 < 0 && d4 > 0))) return true;
    return (d1 == 0 && on_segment(q, p.x1, p.y1)) || (d2 == 0 && on_segment(q, p.x2, p.y2)) ||
           (d3 == 0 && on_segment(p, q.x1, q.y1)) || (d4 == 0 && on_segment(p, q.x2, q.y2));
}

} // namespace mvserver
