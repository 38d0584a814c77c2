// The messages of the falloff line protocol, both ways, byte for byte.
#pragma once

#include <cstddef>
#include <string_view>

#include "falloff/speaker_table.h"

namespace mv {

inline constexpr char kPingLine[] = "PING\n";
inline constexpr char kOkLine[] = "OK\n";

// "HELLO2 <api_key> <alias>\n" into out; returns its length (cut to cap-1).
size_t format_hello2(char *out, size_t cap, const char *api_key, const char *alias) noexcept;
// "PROOF <proof>\n" into out; returns its length.
size_t format_proof(char *out, size_t cap, const char *proof) noexcept;

// A line that begins with "CHALLENGE ": the token after it (may be empty).
bool parse_challenge(const char *line, std::string_view &token) noexcept;
[[nodiscard]] bool is_accept(const char *line) noexcept; // exactly "OK"
[[nodiscard]] bool is_ping(const char *line) noexcept;   // exactly "PING"

// UPDATE / UPDATE2 / UPDATE3: the kind and the payload after the keyword.
bool parse_update_line(const char *line, UpdateKind &kind, std::string_view &payload) noexcept;

} // namespace mv
