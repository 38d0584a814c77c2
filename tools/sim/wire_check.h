// Watches the plugin's link to a falloff server, line by line in both
// directions, and judges the server by what the plugin accepts: the handshake
// step by step, whether the proof was accepted, the update rate, and every
// entry or line that the plugin skips or ignores. Plain logic: the tap feeds
// it bytes with the time they were seen.
#pragma once

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/wire.h"

namespace mvtools {

struct WireExpect {
    std::string alias;                   // the local user's voice alias
    std::string hash;                    // the local user's certificate hash (the HMAC key)
    std::string api_key;                 // what the plugin should send in HELLO2
    std::set<std::string> known_aliases; // users on the voice server (ASCII lower case)
};

enum class Level { info, ok, warn, fail };

struct WireEvent {
    double t;
    Level level;
    std::string text;
};

enum class LinkStage { idle, connecting, greeting, awaiting_challenge, awaiting_accept, established, closed };

class WireCheck {
  public:
    explicit WireCheck(WireExpect expect);

    void plugin_connected(double t);
    void upstream_failed(double t, const std::string &why);
    void plugin_bytes(double t, std::string_view bytes);
    void server_bytes(double t, std::string_view bytes);
    void closed(double t, bool by_server);

    // Events not yet taken (for the live view); all() keeps every one.
    std::vector<WireEvent> take_new();
    [[nodiscard]] const std::vector<WireEvent> &all() const { return events_; }

    [[nodiscard]] LinkStage stage() const { return stage_; }
    [[nodiscard]] size_t connections() const { return connections_; }
    [[nodiscard]] size_t accepted() const { return accepted_; }
    [[nodiscard]] size_t rejected() const { return rejected_; }
    [[nodiscard]] size_t updates() const { return updates_; }
    [[nodiscard]] size_t entries() const { return entries_; }
    [[nodiscard]] size_t bad_entries() const { return bad_entries_; }
    [[nodiscard]] size_t ignored_lines() const { return ignored_lines_; }
    [[nodiscard]] size_t server_pings() const { return server_pings_; }
    [[nodiscard]] size_t pings_answered() const { return pings_answered_; }
    // Entries whose muffle was above 0.
    [[nodiscard]] size_t muffled_entries() const { return muffled_entries_; }
    // Entries whose radio was above 0.
    [[nodiscard]] size_t radio_entries() const { return radio_entries_; }
    [[nodiscard]] size_t plugin_pings() const { return plugin_pings_; }
    // Updates per second over the established links so far (0 before two).
    [[nodiscard]] double update_rate() const;
    // The latest values the server sent, by ASCII-lower-case alias.
    [[nodiscard]] const std::map<std::string, Entry> &latest() const { return latest_; }
    // Distinct notes about skipped or doubtful entries and ignored lines,
    // each with its first example and how often it came.
    struct Finding {
        std::string what;
        std::string example;
        size_t count = 0;
    };
    [[nodiscard]] const std::vector<Finding> &findings() const { return findings_; }
    // The closing report, one line each, at time end.
    [[nodiscard]] std::vector<std::string> summary(double end) const;

    // How long the plugin may take to answer a PING before it counts as unanswered.
    static constexpr double kPingGrace = 5;

  private:
    void event(double t, Level level, std::string text);
    void note(const std::string &what, std::string_view example);
    void on_plugin_line(double t, const std::string &line);
    void on_server_line(double t, const LineFramer::Line &line);
    void on_update(double t, ServerLine kind, std::string_view payload);
    // Judges the PINGs of the link that ends at t.
    void settle_pings(double t);

    WireExpect expect_;
    std::vector<WireEvent> events_;
    size_t taken_ = 0;
    LinkStage stage_ = LinkStage::idle;
    LineFramer from_plugin_;
    LineFramer from_server_;
    std::string token_;
    std::set<std::string> tokens_seen_;
    bool proof_matched_ = false;
    size_t connections_ = 0, accepted_ = 0, rejected_ = 0;
    size_t updates_ = 0, entries_ = 0, bad_entries_ = 0, ignored_lines_ = 0;
    size_t server_pings_ = 0, pings_answered_ = 0, plugin_pings_ = 0;
    std::vector<double> pending_pings_; // when each unanswered PING of this link came
    size_t unanswered_pings_ = 0, pings_in_flight_ = 0, muffled_entries_ = 0, radio_entries_ = 0;
    bool has_update3_ = false;
    bool warned_cr_ = false;
    double first_update_t_ = -1, last_update_t_ = -1;
    double rate_time_ = 0; // seconds of established link before the current one
    size_t rate_updates_ = 0;
    size_t link_updates_ = 0;
    std::map<std::string, Entry> latest_;
    std::vector<Finding> findings_;
};

[[nodiscard]] const char *stage_name(LinkStage stage);

} // namespace mvtools
