// Builds worlds from control lines and reads a listener's update line, for
// the tests of the rules, the parser and the index.
#pragma once

#include <string>
#include <vector>

#include "server/control.h"
#include "server/tables.h"
#include "server/update_format.h"
#include "server/world.h"

namespace mvserver::test {

inline const TimePoint kNow = TimePoint{} + std::chrono::hours(1);

// Applies each line; returns the refusals ("" for an accepted line).
inline std::vector<std::string> feed(World &w, const std::vector<std::string> &lines, TimePoint now = kNow) {
    std::vector<std::string> out;
    for (const std::string &l : lines) {
        const ControlResult r = execute_control(w, l, now);
        out.emplace_back(r.refused != nullptr ? r.refused : "");
    }
    return out;
}

// The update line the listener would be sent now.
inline std::string update_for(World &w, const Rules &rules, const std::string &listener,
                              IndexKind kind = IndexKind::grid, double stale_sec = 0, TimePoint now = kNow) {
    w.refresh(now, stale_sec);
    TableBuilder b(rules, kind);
    b.prepare(w);
    Table t;
    b.build(w, *w.find(listener), t);
    std::string line;
    append_update(line, t, w);
    return line;
}

} // namespace mvserver::test
