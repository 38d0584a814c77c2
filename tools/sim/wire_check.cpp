#include "wire_check.h"

#include <cstdio>

#include "common/hmac.h"
#include "common/text.h"

namespace mvtools {
namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    for (char &c : out)
        c = ascii_lower(c);
    return out;
}

std::string fmt(const char *format, double a) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, a);
    return buf;
}

} // namespace

const char *stage_name(LinkStage stage) {
    switch (stage) {
    case LinkStage::idle:
        return "not connected yet";
    case LinkStage::connecting:
        return "connecting";
    case LinkStage::greeting:
        return "waiting for HELLO2";
    case LinkStage::awaiting_challenge:
        return "waiting for CHALLENGE";
    case LinkStage::awaiting_accept:
        return "waiting for OK";
    case LinkStage::established:
        return "established";
    case LinkStage::closed:
        break;
    }
    return "closed";
}

WireCheck::WireCheck(WireExpect expect) : expect_(std::move(expect)) {}

void WireCheck::event(double t, Level level, std::string text) {
    events_.push_back({t, level, std::move(text)});
}

void WireCheck::note(const std::string &what, std::string_view example) {
    for (Finding &f : findings_)
        if (f.what == what) {
            ++f.count;
            return;
        }
    findings_.push_back({what, printable(example, 100), 1});
}

std::vector<WireEvent> WireCheck::take_new() {
    std::vector<WireEvent> out(events_.begin() + static_cast<std::ptrdiff_t>(taken_), events_.end());
    taken_ = events_.size();
    return out;
}

void WireCheck::plugin_connected(double t) {
    ++connections_;
    from_plugin_ = LineFramer();
    from_server_ = LineFramer();
    token_.clear();
    proof_matched_ = false;
    settle_pings(t);
    link_updates_ = 0;
    first_update_t_ = last_update_t_ = -1;
    stage_ = LinkStage::greeting;
    event(t, Level::info, "connection " + std::to_string(connections_) + ": the plugin connected");
}

void WireCheck::upstream_failed(double t, const std::string &why) {
    stage_ = LinkStage::closed;
    event(t, Level::fail, "cannot reach the falloff server: " + why);
}

void WireCheck::closed(double t, bool by_server) {
    if (stage_ == LinkStage::closed || stage_ == LinkStage::idle) return;
    const LinkStage was = stage_;
    stage_ = LinkStage::closed;
    settle_pings(t);
    if (link_updates_ >= 2) {
        rate_time_ += last_update_t_ - first_update_t_;
        rate_updates_ += link_updates_ - 1;
    }
    link_updates_ = 0;
    const std::string who = by_server ? "the server" : "the plugin";
    if (was == LinkStage::established)
        event(t, Level::info, "link closed by " + who);
    else
        event(t, Level::fail, std::string("link closed by ") + who + " while " + stage_name(was));
}

void WireCheck::plugin_bytes(double t, std::string_view bytes) {
    from_plugin_.feed(bytes);
    while (auto line = from_plugin_.next())
        on_plugin_line(t, line->text);
}

void WireCheck::server_bytes(double t, std::string_view bytes) {
    from_server_.feed(bytes);
    while (auto line = from_server_.next())
        on_server_line(t, *line);
}

void WireCheck::on_plugin_line(double t, const std::string &line) {
    switch (stage_) {
    case LinkStage::greeting: {
        const auto w = words(line);
        if (w.size() != 3 || w[0] != "HELLO2") {
            event(t, Level::fail,
                  "plugin sent '" + printable(line, 60) + "' instead of HELLO2 <key> <alias>");
            return;
        }
        std::string text = "plugin -> HELLO2 alias=" + std::string(w[2]);
        if (!expect_.api_key.empty())
            text += w[1] == expect_.api_key ? " (api_key as configured)" : " (api_key DIFFERS)";
        event(t, Level::ok, text);
        if (!iequals(w[2], expect_.alias))
            event(t, Level::warn,
                  "the plugin introduced itself as " + std::string(w[2]) + ", not " + expect_.alias);
        stage_ = LinkStage::awaiting_challenge;
        return;
    }
    case LinkStage::awaiting_accept:
    case LinkStage::awaiting_challenge: {
        if (!line.starts_with("PROOF ")) break;
        const std::string proof = line.substr(6);
        const std::string expected = hmac_sha256_hex(expect_.hash, token_);
        proof_matched_ = proof == expected;
        if (proof_matched_)
            event(t, Level::ok,
                  "plugin -> PROOF " + proof.substr(0, 8) + "... (matches an independent HMAC-SHA-256)");
        else
            event(t, Level::fail,
                  "plugin -> PROOF " + printable(proof.substr(0, 16)) +
                      "... does NOT match HMAC-SHA-256(certificate hash, token) = " + expected.substr(0, 8) +
                      "...");
        return;
    }
    default:
        break;
    }
    if (line == "PING") {
        ++plugin_pings_;
    } else if (line == "OK") {
        if (!pending_pings_.empty()) {
            pending_pings_.erase(pending_pings_.begin());
            ++pings_answered_;
        }
    } else {
        event(t, Level::info, "plugin -> '" + printable(line, 60) + "'");
    }
}

void WireCheck::on_server_line(double t, const LineFramer::Line &line) {
    if (line.had_cr && !warned_cr_) {
        warned_cr_ = true;
        event(t, Level::info, "server lines carry CR: accepted, the plugin drops every CR");
    }
    if (line.was_cut) note("line longer than 8191 characters: the plugin splits it", line.text.substr(0, 60));
    if (line.text.find('\0') != std::string::npos)
        note("NUL byte in a line: the plugin reads the line only up to it", line.text);
    const Classified c = classify_server_line(line.text);
    switch (stage_) {
    case LinkStage::greeting:
        event(t, Level::warn,
              "server spoke before HELLO2: '" + printable(line.text, 60) +
                  "' (the plugin takes it as the reply to HELLO2)");
        [[fallthrough]];
    case LinkStage::awaiting_challenge:
        if (c.kind != ServerLine::challenge) {
            ++rejected_;
            stage_ = LinkStage::closed;
            std::string hint;
            if (line.text.starts_with("CHALLENGE"))
                hint = " (needs one space after CHALLENGE)";
            else if (iequals(line.text.substr(0, 10), "CHALLENGE "))
                hint = " (CHALLENGE must be upper case)";
            event(t, Level::fail,
                  "server -> '" + printable(line.text, 60) + "': not a challenge, the plugin gives up" +
                      hint);
            return;
        }
        token_ = std::string(c.payload);
        event(t, Level::ok, "server -> CHALLENGE token of " + std::to_string(token_.size()) + " characters");
        if (token_.empty())
            event(t, Level::warn, "empty token: every proof of this player is the same and can be replayed");
        else if (!tokens_seen_.insert(token_).second)
            event(t, Level::warn,
                  "token repeated from an earlier connection: a recorded proof could be replayed");
        stage_ = LinkStage::awaiting_accept;
        return;
    case LinkStage::awaiting_accept:
        if (c.kind == ServerLine::ok) {
            ++accepted_;
            stage_ = LinkStage::established;
            event(t, Level::ok, "server -> OK: proof accepted, link established");
        } else {
            ++rejected_;
            stage_ = LinkStage::closed;
            std::string text = "server -> '" + printable(line.text, 60) + "': proof rejected";
            if (line.text.starts_with("OK"))
                text += " (the reply must be exactly OK)";
            else if (proof_matched_)
                text +=
                    " although the proof was right: check the server's HMAC (key: the certificate hash text, "
                    "message: the token alone)";
            event(t, Level::fail, text);
        }
        return;
    case LinkStage::established:
        break;
    default:
        note("line outside a link", line.text);
        return;
    }
    switch (c.kind) {
    case ServerLine::ping:
        ++server_pings_;
        pending_pings_.push_back(t);
        return;
    case ServerLine::update:
    case ServerLine::update2:
    case ServerLine::update3:
        on_update(t, c.kind, c.payload);
        return;
    case ServerLine::empty:
        return;
    default:
        ++ignored_lines_;
        if (line.text.starts_with("PING"))
            note("PING with extra characters: ignored, not answered", line.text);
        else if (iequals(line.text.substr(0, 6), "update"))
            note("update keyword not in upper case: ignored", line.text);
        else
            note("line the plugin ignores", line.text);
    }
}

void WireCheck::on_update(double t, ServerLine kind, std::string_view payload) {
    ++updates_;
    ++link_updates_;
    if (first_update_t_ < 0) first_update_t_ = t;
    last_update_t_ = t;
    if (kind == ServerLine::update)
        note("plain UPDATE carries no pan: every speaker is centred", "UPDATE" + std::string(payload));
    std::map<std::string, Entry> table;
    size_t kept = 0;
    for (std::string_view piece : split_entries(payload)) {
        ++entries_;
        const EntryVerdict v = parse_entry(piece, kind);
        if (!v.entry) {
            ++bad_entries_;
            note("entry skipped: " + v.note, piece);
            continue;
        }
        if (!v.note.empty()) note("entry accepted with a warning: " + v.note, piece);
        const std::string key = lower(v.entry->alias);
        if (table.count(key) != 0)
            note("alias named twice in one update: the last values win", piece);
        else if (++kept > 512)
            note("more than 512 speakers: the rest are dropped", piece);
        if (key == lower(expect_.alias))
            note("the listener is named in its own update (harmless)", piece);
        else if (!expect_.known_aliases.empty() && expect_.known_aliases.count(key) == 0)
            note("alias of nobody on the voice server", piece);
        Entry e = *v.entry;
        e.gain = e.gain < 0 ? 0 : (e.gain > 1 ? 1 : e.gain);
        e.pan = e.pan < -1 ? -1 : (e.pan > 1 ? 1 : e.pan);
        e.muffle = e.muffle < 0 ? 0 : (e.muffle > 1 ? 1 : e.muffle);
        e.radio = e.radio < 0 ? 0 : (e.radio > 1 ? 1 : e.radio);
        if (e.muffle > 0) ++muffled_entries_;
        if (e.radio > 0) ++radio_entries_;
        table[key] = e;
    }
    latest_ = std::move(table);
    if (kind == ServerLine::update3) has_update3_ = true;
    if (updates_ == 1) event(t, Level::ok, std::string("first ") + kind_name(kind) + " received");
}

void WireCheck::settle_pings(double t) {
    for (const double sent : pending_pings_)
        ++(t - sent > kPingGrace ? unanswered_pings_ : pings_in_flight_);
    pending_pings_.clear();
}

double WireCheck::update_rate() const {
    double time = rate_time_;
    size_t intervals = rate_updates_;
    if (link_updates_ >= 2) {
        time += last_update_t_ - first_update_t_;
        intervals += link_updates_ - 1;
    }
    return time > 0 ? static_cast<double>(intervals) / time : 0;
}

std::vector<std::string> WireCheck::summary(double end) const {
    std::vector<std::string> out;
    out.push_back("connections: " + std::to_string(connections_) + ", proofs accepted: " +
                  std::to_string(accepted_) + ", handshakes refused: " + std::to_string(rejected_));
    out.push_back("updates: " + std::to_string(updates_) + fmt(" at %.1f per second", update_rate()) +
                  ", entries: " + std::to_string(entries_) + ", skipped by the plugin: " +
                  std::to_string(bad_entries_) + ", lines ignored: " + std::to_string(ignored_lines_));
    // A PING still waiting at the end is unanswered only once the plugin had
    // time to answer it; the run may simply have ended first.
    size_t unanswered = unanswered_pings_, in_flight = pings_in_flight_;
    for (const double sent : pending_pings_)
        ++(end - sent > kPingGrace ? unanswered : in_flight);
    std::string pings = "server PINGs: " + std::to_string(server_pings_) +
                        " (answered OK: " + std::to_string(pings_answered_);
    if (in_flight > 0) pings += ", still in flight at the end: " + std::to_string(in_flight);
    if (unanswered > 0) pings += ", UNANSWERED: " + std::to_string(unanswered);
    out.push_back(pings + "), plugin PINGs: " + std::to_string(plugin_pings_));
    if (muffled_entries_ > 0 || has_update3_)
        out.push_back("muffle: " + std::to_string(muffled_entries_) + " of " + std::to_string(entries_) +
                      " entries muffled (UPDATE3)");
    if (radio_entries_ > 0)
        out.push_back("radio: " + std::to_string(radio_entries_) + " of " + std::to_string(entries_) +
                      " entries on the radio (UPDATE3)");
    for (const Finding &f : findings_)
        out.push_back(f.what + " (x" + std::to_string(f.count) + "), e.g. '" + f.example + "'");
    return out;
}

} // namespace mvtools
