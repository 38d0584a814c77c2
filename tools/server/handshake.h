// The server's side of the handshake, as plain logic over lines: HELLO2 with
// the shared key and a known alias, a fresh challenge, and the proof checked
// with our own HMAC against the alias's certificate hash.
#pragma once

#include <string>
#include <string_view>

#include "common/roster.h"

namespace mvtools {

class ServerHandshake {
  public:
    enum class State { await_hello, await_proof, established, closed };

    struct Step {
        std::string send;   // bytes to send (empty: nothing)
        bool close = false; // close after sending
        std::string log;    // what to record in the session log
    };

    // token is the challenge this session will send (fresh per connection).
    explicit ServerHandshake(std::string token) : token_(std::move(token)) {}

    // Feeds one received line (CR already dropped) before the link is
    // established. The roster is consulted at HELLO2 time.
    Step on_line(std::string_view line, const Roster &roster);

    [[nodiscard]] State state() const { return state_; }
    [[nodiscard]] const std::string &alias() const { return alias_; }
    [[nodiscard]] const std::string &token() const { return token_; }

  private:
    Step reject(std::string reply, std::string log);

    State state_ = State::await_hello;
    std::string token_;
    std::string alias_;
    std::string hash_;
};

} // namespace mvtools
