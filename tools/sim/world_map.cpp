#include "world_map.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>

#include "common/roster.h"
#include "common/text.h"
#include "sim/picture.h"

namespace mvtools {
namespace {

constexpr double kSize = 640, kMargin = 60; // the plot's side and what is round it, in pixels
constexpr double kAround = 100; // metres round the listener that the map frames; farther is off the map

std::string num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

std::string key(const std::string &alias) {
    std::string k = alias;
    for (char &c : k)
        c = ascii_lower(c);
    return k;
}

WorldTrack::Point at(const std::vector<WorldTrack::Point> &path, double t) {
    const auto after = std::upper_bound(path.begin(), path.end(), t,
                                        [](double v, const WorldTrack::Point &p) { return v < p.t; });
    return after == path.begin() ? path.front() : *(after - 1);
}

// Metres to pixels over a square frame.
struct Frame {
    double x0, y0, span;
    [[nodiscard]] double px(double x) const { return kMargin + (x - x0) / span * kSize; }
    [[nodiscard]] double py(double y) const { return kMargin + kSize - (y - y0) / span * kSize; }
    [[nodiscard]] bool inside(double x, double y) const {
        return x >= x0 && x <= x0 + span && y >= y0 && y <= y0 + span;
    }
    // How far along from a (inside) towards b the frame ends, 0..1.
    [[nodiscard]] double reach(double ax, double ay, double bx, double by) const {
        double s = 1;
        const auto limit = [&](double a, double d, double lo, double hi) {
            if (d > 0) s = std::min(s, (hi - a) / d);
            if (d < 0) s = std::min(s, (lo - a) / d);
        };
        limit(ax, bx - ax, x0, x0 + span);
        limit(ay, by - ay, y0, y0 + span);
        return std::max(0.0, s);
    }
};

Frame frame_round(const WorldTrack &w, const std::vector<WorldTrack::Point> &listener) {
    const WorldTrack::Point c = listener.front();
    double lo_x = c.x, hi_x = c.x, lo_y = c.y, hi_y = c.y;
    const auto take = [&](double x, double y) {
        if (std::hypot(x - c.x, y - c.y) > kAround) return;
        lo_x = std::min(lo_x, x), hi_x = std::max(hi_x, x), lo_y = std::min(lo_y, y),
        hi_y = std::max(hi_y, y);
    };
    for (const auto &[alias, path] : w.paths)
        for (const WorldTrack::Point &p : path)
            take(p.x, p.y);
    for (const WorldTrack::Wall &wall : w.walls)
        take(wall.x1, wall.y1), take(wall.x2, wall.y2);
    const double span = std::max(hi_x - lo_x, hi_y - lo_y) + 6;
    return {(lo_x + hi_x - span) / 2, (lo_y + hi_y - span) / 2, span};
}

} // namespace

bool load_world(const std::string &path, WorldTrack *out, std::string *error) {
    std::string text;
    if (!read_text_file(path, &text)) {
        *error = "cannot read " + path;
        return false;
    }
    WorldTrack w;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        double t = 0;
        std::string verb, a, b;
        if (!(words >> t >> verb >> a)) continue;
        double v[6] = {};
        if (verb == "pos" && words >> v[0] >> v[1]) {
            w.paths[a].push_back({t, v[0], v[1]});
        } else if (verb == "wall" && words >> v[0] >> v[1] >> v[2] >> v[3] >> v[4]) {
            std::erase_if(w.walls, [&](const WorldTrack::Wall &x) { return x.id == a; });
            w.walls.push_back({a, v[0], v[1], v[2], v[3], v[4]});
        } else if (verb == "unwall") {
            std::erase_if(w.walls, [&](const WorldTrack::Wall &x) { return x.id == a; });
        } else if (verb == "hear" && words >> b >> v[0] >> v[1] >> v[2] >> v[3] && v[3] > 0) {
            w.radio.emplace_back(a, b);
        }
    }
    *out = std::move(w);
    return true;
}

namespace {

using Paths = std::map<std::string, std::vector<WorldTrack::Point>>; // by folded alias

void draw_grid(std::string &s, const Frame &f) {
    const double step = f.span > 150 ? 50 : f.span > 60 ? 20 : f.span > 25 ? 5 : 2;
    for (double g = std::ceil(f.x0 / step) * step; g <= f.x0 + f.span; g += step)
        s += "<line x1=\"" + num(f.px(g)) + "\" x2=\"" + num(f.px(g)) + "\" y1=\"" + num(kMargin) +
             "\" y2=\"" + num(kMargin + kSize) + "\" stroke=\"#eee\"/><text x=\"" + num(f.px(g)) + "\" y=\"" +
             num(kMargin + kSize + 16) + "\" text-anchor=\"middle\">" + num(g) + "</text>\n";
    for (double g = std::ceil(f.y0 / step) * step; g <= f.y0 + f.span; g += step)
        s += "<line x1=\"" + num(kMargin) + "\" x2=\"" + num(kMargin + kSize) + "\" y1=\"" + num(f.py(g)) +
             "\" y2=\"" + num(f.py(g)) + "\" stroke=\"#eee\"/><text x=\"" + num(kMargin - 6) + "\" y=\"" +
             num(f.py(g) + 4) + "\" text-anchor=\"end\">" + num(g) + "</text>\n";
    s += "<rect x=\"" + num(kMargin) + "\" y=\"" + num(kMargin) + "\" width=\"" + num(kSize) +
         "\" height=\"" + num(kSize) + "\" fill=\"none\" stroke=\"#333\"/>\n";
}

void draw_walls(std::string &s, const Frame &f, const std::vector<WorldTrack::Wall> &walls) {
    for (const WorldTrack::Wall &wall : walls) {
        s += "<line x1=\"" + num(f.px(wall.x1)) + "\" y1=\"" + num(f.py(wall.y1)) + "\" x2=\"" +
             num(f.px(wall.x2)) + "\" y2=\"" + num(f.py(wall.y2)) +
             "\" stroke=\"#777\" stroke-width=\"6\"/>\n";
        s += "<text x=\"" + num(f.px((wall.x1 + wall.x2) / 2) + 8) + "\" y=\"" +
             num(f.py((wall.y1 + wall.y2) / 2)) + "\" fill=\"#555\">wall " + xml_escape(wall.id) +
             " (muffle " + num(wall.muffle) + ")</text>\n";
    }
}

// Once a second of the run, a line from the listener to each speaker heard
// then (up to the frame's edge): faint, or dashed for a radio pair.
void draw_heard(std::string &s, const Frame &f, const Paths &paths, const std::vector<WorldTrack::Point> &me,
                const RunRecord &run, const std::function<bool(const std::string &)> &on_radio) {
    for (size_t i = 0; i < run.series.size() && run.started > 0; ++i) {
        const Series &sr = run.series[i];
        const auto path = paths.find(key(sr.label));
        if (path == paths.end()) continue;
        const std::string style = on_radio(sr.label) ? "stroke-width=\"2\" stroke-dasharray=\"8 5\""
                                                     : "stroke-width=\"1\" opacity=\"0.4\"";
        for (size_t k = 0, next = 0; k < sr.t.size(); ++k) {
            if (sr.t[k] < static_cast<double>(next) + 0.5 || sr.gain[k] < 0.01) continue;
            next = static_cast<size_t>(sr.t[k] + 0.5) + 1;
            const WorldTrack::Point a = at(me, run.started + sr.t[k]);
            const WorldTrack::Point b = at(path->second, run.started + sr.t[k]);
            const double r = f.reach(a.x, a.y, b.x, b.y);
            s += "<line x1=\"" + num(f.px(a.x)) + "\" y1=\"" + num(f.py(a.y)) + "\" x2=\"" +
                 num(f.px(a.x + r * (b.x - a.x))) + "\" y2=\"" + num(f.py(a.y + r * (b.y - a.y))) +
                 "\" stroke=\"" + series_colour(i) + "\" " + style + "/>\n";
        }
    }
}

// Each path in the colour of the speaker's curves (the listener's black),
// with a dot where it ended; a player off the map is named below it.
void draw_paths(std::string &s, const Frame &f, const Paths &paths, const WorldTrack::Point &centre,
                const RunRecord &run, const std::string &listener,
                const std::function<bool(const std::string &)> &on_radio) {
    size_t notes = 0;
    for (const auto &[folded, path] : paths) {
        std::string colour = "#000", label = folded == key(listener) ? listener : folded;
        for (size_t i = 0; i < run.series.size(); ++i)
            if (key(run.series[i].label) == folded) colour = series_colour(i), label = run.series[i].label;
        const WorldTrack::Point end = path.back();
        if (!f.inside(end.x, end.y)) {
            s += "<text x=\"" + num(kMargin) + "\" y=\"" + num(kMargin + kSize + 40 + 18 * notes++) +
                 "\" fill=\"" + colour + "\">" + xml_escape(label) + " is " +
                 num(std::hypot(end.x - centre.x, end.y - centre.y)) + " m away, off the map" +
                 (on_radio(label) ? ": heard on the radio (dashed)" : "") + "</text>\n";
            continue;
        }
        std::string pts;
        for (const WorldTrack::Point &p : path)
            pts += num(f.px(p.x)) + "," + num(f.py(p.y)) + " ";
        s += "<polyline fill=\"none\" stroke=\"" + colour + "\" stroke-width=\"2.5\" points=\"" + pts +
             "\"/>\n";
        s += "<circle cx=\"" + num(f.px(end.x)) + "\" cy=\"" + num(f.py(end.y)) + "\" r=\"5\" fill=\"" +
             colour + "\"/><text x=\"" + num(f.px(end.x) + 8) + "\" y=\"" + num(f.py(end.y) - 8) +
             "\" fill=\"" + colour + "\" font-weight=\"bold\">" + xml_escape(label) + "</text>\n";
    }
}

} // namespace

std::string render_map(const WorldTrack &w, const RunRecord &run, const std::string &listener) {
    std::string s = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(kSize + 2 * kMargin) +
                    "\" height=\"" + num(kSize + 2 * kMargin + 60) +
                    "\" font-family=\"sans-serif\" font-size=\"13\">\n<rect width=\"100%\" height=\"100%\" "
                    "fill=\"white\"/>\n<text x=\"" +
                    num(kMargin + kSize / 2) +
                    "\" y=\"24\" text-anchor=\"middle\" font-size=\"17\">The world from above during the run "
                    "(metres; north is up)</text>\n";
    Paths paths; // the points sent during the run
    for (const auto &[alias, path] : w.paths)
        for (const WorldTrack::Point &p : path)
            if (run.started <= 0 || (p.t >= run.started && p.t <= run.started + run.t_end))
                paths[key(alias)].push_back(p);
    const auto me = paths.find(key(listener));
    if (me == paths.end())
        return s + "<text x=\"40\" y=\"80\">" + xml_escape(listener) +
               " never stood anywhere</text>\n</svg>\n";
    const auto on_radio = [&](const std::string &speaker) {
        return std::any_of(w.radio.begin(), w.radio.end(), [&](const auto &pair) {
            return iequals(pair.first, listener) && iequals(pair.second, speaker);
        });
    };
    const Frame f = frame_round(w, me->second);
    draw_grid(s, f);
    draw_walls(s, f, w.walls);
    draw_heard(s, f, paths, me->second, run, on_radio);
    draw_paths(s, f, paths, me->second.back(), run, listener, on_radio);
    s += "<text x=\"" + num(kMargin) + "\" y=\"" + num(kMargin - 12) +
         "\" fill=\"#555\">dots: where each path ended; thin lines: whom " + xml_escape(listener) +
         " heard, once a second</text>\n";
    return s + "</svg>\n";
}

std::string side_by_side(const std::string &left, const std::string &right) {
    const auto size = [](const std::string &svg, const char *name) {
        const size_t at = svg.find(std::string(" ") + name + "=\"");
        return at == std::string::npos ? 0.0 : std::atof(svg.c_str() + at + std::strlen(name) + 3);
    };
    const double w = size(left, "width"), h = std::max(size(left, "height"), size(right, "height"));
    std::string s = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(w + size(right, "width")) +
                    "\" height=\"" + num(h) + "\">\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    s += left;
    s += right.substr(0, 4) + " x=\"" + num(w) + "\"" + right.substr(4);
    return s + "</svg>\n";
}

} // namespace mvtools
