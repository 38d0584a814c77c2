#include "view.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace mvtools {

std::string pan_bar(double pan, int width) {
    std::string bar(static_cast<size_t>(width), '-');
    bar[static_cast<size_t>(width / 2)] = '|';
    const double p = std::clamp(pan, -1.0, 1.0);
    const auto at = static_cast<size_t>(std::lround((p + 1) / 2 * (width - 1)));
    bar[at] = 'O';
    return "L " + bar + " R";
}

std::string event_line(const WireEvent &e) {
    static const char *const kTags[] = {"    ", " ok ", "WARN", "FAIL"};
    char head[32];
    std::snprintf(head, sizeof head, "%7.2fs [%s] ", e.t, kTags[static_cast<int>(e.level)]);
    return head + e.text;
}

std::vector<std::string> muffle_report(const std::vector<Series> &series) {
    std::vector<std::string> out{"muffle (server's most / heard most, and how long heard above 0.05):"};
    for (const Series &s : series) {
        double sent = 0, heard = 0, seconds = 0;
        for (size_t k = 0; k < s.t.size(); ++k) {
            if (!std::isnan(s.sent_muffle[k])) sent = std::max(sent, s.sent_muffle[k]);
            if (std::isnan(s.muffle[k])) continue;
            heard = std::max(heard, s.muffle[k]);
            if (s.muffle[k] > 0.05 && k + 1 < s.t.size()) seconds += s.t[k + 1] - s.t[k];
        }
        if (sent == 0 && heard == 0) continue;
        char buf[160];
        std::snprintf(buf, sizeof buf, "  %-16s sent up to %.2f, heard up to %.2f for %.1f s%s",
                      s.label.c_str(), sent, heard, seconds,
                      sent > 0.05 && heard < 0.01 ? ": the plugin applied NO muffle" : "");
        out.emplace_back(buf);
    }
    if (out.size() == 1) out.back() = "muffle: none sent, none heard";
    return out;
}

std::vector<std::string> click_report(const RunRecord &run) {
    char buf[200];
    std::snprintf(buf, sizeof buf,
                  "clicks (%s): energy above 4 kHz in the 10 ms round each of %zu changes: mean %.1f dBFS, "
                  "loudest %.1f dBFS; whole mix %.1f dBFS",
                  run.label.c_str(), run.clicks.windows, run.clicks.mean_db, run.clicks.max_db,
                  run.clicks.whole_db);
    return {buf};
}

std::vector<std::string> host_report(const mvhost::Host &host, const std::vector<std::string> &violations) {
    using namespace mvhost;
    static constexpr size_t kServed[] = {kSlotFreeMemory,
                                         kSlotGetActiveServerConnection,
                                         kSlotIsConnectionSynchronized,
                                         kSlotGetLocalUserId,
                                         kSlotGetUserName,
                                         kSlotGetAllUsers,
                                         kSlotGetUserHash,
                                         kSlotLog};
    size_t calls = 0;
    std::string unserved;
    for (size_t slot = 0; slot < kApiSlots; ++slot) {
        calls += host.calls(slot);
        if (host.calls(slot) != 0 &&
            std::find(std::begin(kServed), std::end(kServed), slot) == std::end(kServed))
            unserved += " " + std::to_string(slot) + " (x" + std::to_string(host.calls(slot)) + ")";
    }
    std::vector<std::string> out{"host rules: " + std::string(violations.empty() ? "kept" : "BROKEN") + " (" +
                                 std::to_string(calls) + " API calls, " + std::to_string(host.timeouts()) +
                                 " timed out)"};
    for (const std::string &v : violations)
        out.push_back("  " + v);
    // Answered with an error here, so what the plugin did next may differ from a real client.
    if (!unserved.empty())
        out.push_back("  note: calls to API slots the host stand-in does not serve:" + unserved);
    return out;
}

std::vector<std::string> render_table(const ViewHeader &header, const Snapshot &s, bool tapped) {
    std::vector<std::string> out;
    char buf[512];
    std::snprintf(buf, sizeof buf, "Marlpike host simulator   t = %6.1f s   %s", s.t, header.plugin.c_str());
    out.emplace_back(buf);
    out.push_back("falloff link: " + header.link);
    if (tapped) {
        std::snprintf(
            buf, sizeof buf,
            "link %-22s proofs accepted %zu  refused %zu   updates %zu (%.1f/s)  skipped entries %zu  "
            "muffled entries %zu",
            stage_name(s.stage), s.accepted, s.rejected, s.updates, s.rate, s.bad_entries, s.muffled_entries);
        out.emplace_back(buf);
    }
    out.emplace_back("");
    std::snprintf(buf, sizeof buf, "%-16s %3s  %-26s  %-6s %-6s %-6s %-6s  %-27s  %8s %8s", "speaker", "id",
                  tapped ? "server gain pan muf radio" : "", "gain", "pan", "muffle", "radio", "heard from",
                  "left dB", "right dB");
    out.emplace_back(buf);
    for (const SpeakerRow &r : s.rows) {
        char sent[48] = "";
        if (tapped) {
            if (r.sent)
                std::snprintf(sent, sizeof sent, "%5.3f %+6.3f %5.2f %5.2f",
                              static_cast<double>(r.sent->gain), static_cast<double>(r.sent->pan),
                              static_cast<double>(r.sent->muffle), static_cast<double>(r.sent->radio));
            else
                std::snprintf(sent, sizeof sent, "(not named)");
        }
        char pan[16] = "   -- ", muffle[16] = "  --  ", radio[16] = "  --  ";
        if (!r.heard.silent) {
            std::snprintf(pan, sizeof pan, "%+6.3f", r.heard.pan);
            std::snprintf(muffle, sizeof muffle, "%5.2f ", r.heard.muffle);
            std::snprintf(radio, sizeof radio, "%5.2f ", r.heard.radio);
        }
        const std::string bar = r.heard.silent ? "   (silent)" : pan_bar(r.heard.pan, 23);
        auto db = [](double rms, char *dst, size_t cap) {
            if (rms < 1e-6)
                std::snprintf(dst, cap, "%8s", "-inf");
            else
                std::snprintf(dst, cap, "%8.1f", 20 * std::log10(rms));
        };
        char left[16], right[16];
        db(r.heard.left_rms, left, sizeof left);
        db(r.heard.right_rms, right, sizeof right);
        std::snprintf(buf, sizeof buf, "%-16.16s %3u  %-26s  %6.3f %-6s %-6s %-6s  %-27s  %s %s",
                      r.alias.c_str(), r.id, sent, r.heard.gain, pan, muffle, radio, bar.c_str(), left,
                      right);
        out.emplace_back(buf);
    }
    return out;
}

} // namespace mvtools
