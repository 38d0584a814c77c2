#include "picture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

namespace mvtools {
namespace {

const char *const kColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e",
                                "#9467bd", "#8c564b", "#e377c2", "#17becf"};

std::string num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

std::string label(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

std::string escape(const std::string &s) {
    std::string out;
    for (char c : s) {
        if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '&')
            out += "&amp;";
        else if (c == '"')
            out += "&quot;";
        else
            out.push_back(c);
    }
    return out;
}

constexpr double kW = 1000, kLeft = 105, kRight = 190, kPanelH = 200, kGap = 70;
constexpr double kPlotW = kW - kLeft - kRight;

using Ticks = std::vector<std::pair<double, std::string>>;

// A panel: frame, horizontal grid with labels, vertical grid over x from 0
// to x_end; its lines go in through line().
class Panel {
  public:
    Panel(std::string &svg, double top, const std::string &name, const Ticks &ticks, double lo, double hi,
          double x_end, const std::string &x_name)
        : svg_(svg), top_(top), lo_(lo), hi_(hi), x_end_(x_end > 0 ? x_end : 1) {
        svg_ += "<text x=\"20\" y=\"" + num(top + kPanelH / 2) + "\" transform=\"rotate(-90 20 " +
                num(top + kPanelH / 2) + ")\" text-anchor=\"middle\" font-size=\"15\">" + escape(name) +
                "</text>\n";
        for (const auto &[v, text] : ticks) {
            svg_ += "<line x1=\"" + num(kLeft) + "\" x2=\"" + num(kLeft + kPlotW) + "\" y1=\"" + num(y(v)) +
                    "\" y2=\"" + num(y(v)) + "\" stroke=\"#ddd\"/>\n";
            svg_ += "<text x=\"" + num(kLeft - 6) + "\" y=\"" + num(y(v) + 4) + "\" text-anchor=\"end\">" +
                    text + "</text>\n";
        }
        const double step = x_end_ >= 100 ? 25 : x_end_ > 30 ? 5 : (x_end_ > 12 ? 2 : 1);
        for (double t = 0; t <= x_end_ + 1e-9; t += step) {
            svg_ += "<line x1=\"" + num(x(t)) + "\" x2=\"" + num(x(t)) + "\" y1=\"" + num(top) + "\" y2=\"" +
                    num(top + kPanelH) + "\" stroke=\"#eee\"/>\n";
            svg_ += "<text x=\"" + num(x(t)) + "\" y=\"" + num(top + kPanelH + 16) +
                    "\" text-anchor=\"middle\">" + label(t) + "</text>\n";
        }
        svg_ += "<rect x=\"" + num(kLeft) + "\" y=\"" + num(top) + "\" width=\"" + num(kPlotW) +
                "\" height=\"" + num(kPanelH) + "\" fill=\"none\" stroke=\"#333\"/>\n";
        svg_ += "<text x=\"" + num(kLeft + kPlotW / 2) + "\" y=\"" + num(top + kPanelH + 34) +
                "\" text-anchor=\"middle\">" + escape(x_name) + "</text>\n";
    }

    // A polyline per unbroken run of values (NaN breaks it).
    void line(const std::vector<double> &xs, const std::vector<double> &vs, const std::string &colour,
              const std::string &style = "stroke-width=\"2\"") {
        std::string pts;
        const auto flush = [&] {
            if (!pts.empty())
                svg_ += "<polyline fill=\"none\" stroke=\"" + colour + "\" " + style + " points=\"" + pts +
                        "\"/>\n";
            pts.clear();
        };
        for (size_t k = 0; k < vs.size() && k < xs.size(); ++k) {
            if (std::isnan(vs[k])) {
                flush();
                continue;
            }
            pts += num(x(xs[k])) + "," + num(y(vs[k])) + " ";
        }
        flush();
    }

  private:
    [[nodiscard]] double x(double v) const { return kLeft + kPlotW * std::clamp(v / x_end_, 0.0, 1.0); }
    [[nodiscard]] double y(double v) const {
        return top_ + kPanelH * (1 - (std::clamp(v, lo_, hi_) - lo_) / (hi_ - lo_));
    }

    std::string &svg_;
    double top_, lo_, hi_, x_end_;
};

void legend(std::string &s, double top, size_t i, const std::string &colour, const std::string &text,
            const std::string &style = "stroke-width=\"3\"") {
    const double ly = top + 10 + 22 * static_cast<double>(i);
    s += "<line x1=\"" + num(kW - kRight + 15) + "\" x2=\"" + num(kW - kRight + 40) + "\" y1=\"" + num(ly) +
         "\" y2=\"" + num(ly) + "\" stroke=\"" + colour + "\" " + style + "/>\n";
    s += "<text x=\"" + num(kW - kRight + 46) + "\" y=\"" + num(ly + 4) + "\">" + escape(text) + "</text>\n";
}

} // namespace

const char *series_colour(size_t i) {
    return kColours[i % 8];
}

std::string xml_escape(const std::string &s) {
    return escape(s);
}

std::string render_svg(const Picture &p) {
    const bool detail = !p.envelopes.empty();
    const double top = 60, step = kPanelH + kGap;
    const double height = top + step * (detail ? 4 : 3) + 10;
    std::string s;
    s += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(kW) + "\" height=\"" + num(height) +
         "\" font-family=\"sans-serif\" font-size=\"13\">\n";
    s += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    s += "<text x=\"" + num(kW / 2) + "\" y=\"24\" text-anchor=\"middle\" font-size=\"17\">" +
         escape(p.title) + "</text>\n";
    s +=
        "<text x=\"" + num(kW / 2) +
        "\" y=\"44\" text-anchor=\"middle\" fill=\"#555\">measured in each speaker's audio after the plugin; "
        "pan and muffle are drawn only while the speaker is audible</text>\n";

    Panel gain(s, top, "gain", {{0, "0"}, {0.25, "0.25"}, {0.5, "0.5"}, {0.75, "0.75"}, {1, "1"}}, 0, 1,
               p.t_end, "time (s)");
    Panel pan(s, top + step, "pan",
              {{-1, "left -1"}, {-0.5, "-0.5"}, {0, "centre 0"}, {0.5, "0.5"}, {1, "right +1"}}, -1, 1,
              p.t_end, "time (s)");
    Panel muffle(s, top + 2 * step, "muffle", {{0, "clear 0"}, {0.5, "0.5"}, {1, "muffled 1"}}, 0, 1, p.t_end,
                 "time (s); dashed: what the server sent");
    for (size_t i = 0; i < p.series.size(); ++i) {
        const Series &sr = p.series[i];
        const std::string colour = kColours[i % 8];
        gain.line(sr.t, sr.gain, colour);
        pan.line(sr.t, sr.pan, colour);
        muffle.line(sr.t, sr.sent_muffle, colour, "stroke-width=\"1.5\" stroke-dasharray=\"6 4\"");
        muffle.line(sr.t, sr.muffle, colour);
        const bool never_heard =
            std::all_of(sr.gain.begin(), sr.gain.end(), [](double g) { return g < 1e-4; });
        legend(s, top, i, colour, sr.label + (never_heard ? " (silent)" : ""));
    }
    if (!detail) return s + "</svg>\n";

    // The close look: its own scale, fitted to the values.
    double lo = 1e9, hi = -1e9, end_ms = 0;
    for (const Envelope &e : p.envelopes)
        for (const double v : e.values)
            lo = std::min(lo, v), hi = std::max(hi, v);
    for (const Envelope &e : p.envelopes)
        end_ms = std::max(end_ms, static_cast<double>(e.values.size()));
    const double pad = std::max((hi - lo) * 0.1, 0.005);
    lo -= pad, hi += pad;
    Ticks ticks;
    for (int k = 0; k <= 4; ++k) {
        const double v = lo + (hi - lo) * k / 4;
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.3f", v);
        ticks.emplace_back(v, buf);
    }
    const double dtop = top + 3 * step;
    Panel close(s, dtop, "multiplier", ticks, lo, hi, end_ms,
                "milliseconds; the change at " + label(p.detail_lead_ms) + " ms");
    s += "<text x=\"" + num(kLeft + kPlotW / 2) + "\" y=\"" + num(dtop - 10) + "\" text-anchor=\"middle\">" +
         escape(p.detail_title) + "</text>\n";
    static const char *const kRunColours[] = {"#d62728", "#1f77b4", "#2ca02c", "#9467bd"};
    for (size_t i = 0; i < p.envelopes.size(); ++i) {
        std::vector<double> ms(p.envelopes[i].values.size());
        for (size_t k = 0; k < ms.size(); ++k)
            ms[k] = static_cast<double>(k) + 0.5;
        close.line(ms, p.envelopes[i].values, kRunColours[i % 4]);
        legend(s, dtop, i, kRunColours[i % 4], p.envelopes[i].label);
    }
    return s + "</svg>\n";
}

} // namespace mvtools
