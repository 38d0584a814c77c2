#include "run_record.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace mvtools {
namespace {

constexpr char kMagic[] = "marlpike-host-sim run 1";

std::string fixed(double v, int decimals = 1) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::vector<double> numbers(std::istringstream &in) {
    std::vector<double> out;
    for (std::string word; in >> word;)
        out.push_back(std::strtod(word.c_str(), nullptr)); // "nan" included
    return out;
}

} // namespace

bool save_run(const RunRecord &run, const std::string &path) {
    std::ofstream out(path);
    out << kMagic << "\nlabel " << run.label << "\ntitle " << run.title << "\nend " << run.t_end
        << "\nclicks " << run.clicks.windows << " " << run.clicks.mean_db << " " << run.clicks.max_db << " "
        << run.clicks.whole_db << "\n";
    char started[32];
    std::snprintf(started, sizeof started, "%.3f", run.started); // to the millisecond
    out << "started " << started << "\n";
    for (const Series &s : run.series) {
        out << "series " << s.label << "\n";
        for (size_t k = 0; k < s.t.size(); ++k)
            out << "point " << s.t[k] << " " << s.gain[k] << " " << s.pan[k] << " " << s.muffle[k] << " "
                << s.sent_muffle[k] << "\n";
    }
    for (const Envelope &e : run.envelopes) {
        out << "envelope";
        for (const double v : e.values)
            out << " " << v;
        out << " | " << e.label << "\n";
    }
    for (const std::string &l : run.report)
        out << "report " << l << "\n";
    return static_cast<bool>(out);
}

bool load_run(const std::string &path, RunRecord *run, std::string *error) {
    std::ifstream in(path);
    std::string line;
    if (!std::getline(in, line) || line != kMagic) {
        *error = path + " is not a run saved by marlpike-host-sim";
        return false;
    }
    RunRecord r;
    while (std::getline(in, line)) {
        const size_t space = line.find(' ');
        const std::string key = line.substr(0, space),
                          rest = space == std::string::npos ? "" : line.substr(space + 1);
        std::istringstream words(rest);
        if (key == "label") {
            r.label = rest;
        } else if (key == "title") {
            r.title = rest;
        } else if (key == "end") {
            words >> r.t_end;
        } else if (key == "started") {
            words >> r.started;
        } else if (key == "clicks") {
            words >> r.clicks.windows >> r.clicks.mean_db >> r.clicks.max_db >> r.clicks.whole_db;
        } else if (key == "series") {
            r.series.push_back({rest, {}, {}, {}, {}, {}});
        } else if (key == "point" && !r.series.empty()) {
            const auto v = numbers(words);
            if (v.size() != 5) continue;
            Series &s = r.series.back();
            s.t.push_back(v[0]), s.gain.push_back(v[1]), s.pan.push_back(v[2]), s.muffle.push_back(v[3]);
            s.sent_muffle.push_back(v[4]);
        } else if (key == "envelope") {
            const size_t bar = rest.find(" | ");
            std::istringstream values(rest.substr(0, bar));
            r.envelopes.push_back({bar == std::string::npos ? "" : rest.substr(bar + 3), numbers(values)});
        } else if (key == "report") {
            r.report.push_back(rest);
        }
    }
    *run = std::move(r);
    return true;
}

std::vector<std::string> compare_report(const std::vector<RunRecord> &runs) {
    std::vector<std::string> out{
        "==== the same scenario, run " + std::to_string(runs.size()) + " times ====",
        "clicks: energy above 4 kHz in the mix (the voices have none up there), in the "
        "10 ms round each change of the server's values"};
    const auto row = [&](const std::string &name, const auto &cell) {
        char head[40];
        std::snprintf(head, sizeof head, "  %-30s", name.c_str());
        std::string l = head;
        for (const RunRecord &r : runs) {
            char buf[40];
            std::snprintf(buf, sizeof buf, " %20s", cell(r).c_str());
            l += buf;
        }
        out.push_back(l);
    };
    row("", [](const RunRecord &r) { return r.label; });
    row("changes measured", [](const RunRecord &r) { return std::to_string(r.clicks.windows); });
    row("mean round a change (dBFS)", [](const RunRecord &r) { return fixed(r.clicks.mean_db); });
    row("loudest change (dBFS)", [](const RunRecord &r) { return fixed(r.clicks.max_db); });
    row("whole mix above 4 kHz (dBFS)", [](const RunRecord &r) { return fixed(r.clicks.whole_db); });
    for (const RunRecord &r : runs) {
        out.emplace_back("");
        out.push_back("---- run with " + r.label + " ----");
        out.insert(out.end(), r.report.begin(), r.report.end());
    }
    return out;
}

Picture compare_picture(const std::vector<RunRecord> &runs) {
    Picture p;
    if (runs.empty()) return p;
    p.title = runs.back().title + (runs.size() > 1 ? " (" + runs.back().label + ")" : "");
    p.series = runs.back().series;
    p.t_end = runs.back().t_end;
    const auto range = [](const Envelope &e) {
        const auto [lo, hi] = std::minmax_element(e.values.begin(), e.values.end());
        return e.values.empty() ? 0.0 : *hi - *lo;
    };
    const auto &first = runs.front().envelopes;
    const auto most = std::max_element(first.begin(), first.end(), [&](const Envelope &a, const Envelope &b) {
        return range(a) < range(b);
    });
    if (most == first.end() || range(*most) <= 0) return p;
    p.detail_title = most->label + " multiplier round the change of update " + std::to_string(kDetailUpdate);
    p.detail_lead_ms = kDetailLeadMs;
    for (const RunRecord &r : runs)
        for (const Envelope &e : r.envelopes)
            if (e.label == most->label) p.envelopes.push_back({r.label, e.values});
    return p;
}

} // namespace mvtools
