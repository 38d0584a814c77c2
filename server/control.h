// The control lines a game writes, read and applied to the world. A refused
// line changes nothing and carries a short reason.
//
//   player ALIAS HASH [ADDRESS]   leave ALIAS
//   pos ALIAS X Y Z HEADING       range ALIAS METRES
//   wall ID X1 Y1 X2 Y2 MUFFLE    unwall ID
//   hear LISTENER SPEAKER GAIN PAN MUFFLE RADIO   unhear LISTENER SPEAKER
//   sync                          stats
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "world.h"

namespace mvserver {

// Longer control lines are refused as too_long.
inline constexpr size_t kMaxControlLine = 4096;

struct ControlResult {
    enum class Answer { none, ok, stats };
    const char *refused = nullptr; // the reason; nothing changed
    Answer answer = Answer::none;
    // A player whose live link must close, and why.
    std::optional<uint32_t> close_slot;
    const char *close_reason = nullptr;
};

// Applies one line (without its LF; a CR before it is dropped). Empty lines
// and lines starting with '#' do nothing.
ControlResult execute_control(World &world, std::string_view line, TimePoint now);

// "ERR <reason>: <the line, cut>\n", appended.
void append_refusal(std::string &out, const char *reason, std::string_view line);

// A voice alias: 1 to 127 bytes, no control byte, space or comma.
[[nodiscard]] bool valid_alias(std::string_view alias);
// A certificate hash as the plugin proves it: 1 to 128 printable bytes, no space.
[[nodiscard]] bool valid_hash(std::string_view hash);

} // namespace mvserver
