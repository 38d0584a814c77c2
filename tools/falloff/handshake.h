// The server's side of the handshake. parse_hello and parse_proof read the
// plugin's two lines for every mode of the server; ServerHandshake is the
// reference check: the shared key, an alias from the roster, a fresh
// challenge, and the proof checked with the tools' HMAC (the system's
// library) against the alias's certificate hash.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/roster.h"

namespace mvfalloff {

struct Hello {
    std::string_view key;
    std::string_view alias;
};
// "HELLO2 <key> <alias>": the key holds no space, the alias is the rest.
[[nodiscard]] std::optional<Hello> parse_hello(std::string_view line);
// The 64 lowercase hex digits of "PROOF <proof>"; nothing for any other line.
[[nodiscard]] std::optional<std::string_view> parse_proof(std::string_view line);

class ServerHandshake {
  public:
    enum class State { await_hello, await_proof, established, closed };

    struct Reply {
        std::string send;   // bytes to send (empty: nothing)
        bool close = false; // close after sending
        std::string log;    // what to record in the session log
    };

    // token is the challenge this session sends (fresh per connection).
    explicit ServerHandshake(std::string token) : token_(std::move(token)) {}

    // Takes one received line (CR already dropped) before the link is
    // established. The roster is consulted at HELLO2.
    Reply on_line(std::string_view line, const mvtools::Roster &roster);

    [[nodiscard]] State state() const { return state_; }
    [[nodiscard]] const std::string &alias() const { return alias_; }
    [[nodiscard]] const std::string &token() const { return token_; }

  private:
    Reply reject(std::string reply, std::string log);

    State state_ = State::await_hello;
    std::string token_;
    std::string alias_;
    std::string hash_;
};

} // namespace mvfalloff
