// The data the benches feed the plugin: voice aliases, update lines and
// payloads of a given size, built the same way by every bench program.
#pragma once

#include <cstddef>
#include <string>

namespace mvbench {

// Alias of speaker i (i < 1296): "VC-" and two characters, so that an
// UPDATE2 line naming 512 speakers still fits in one 8191-character line.
std::string speaker_alias(size_t i);

// An UPDATE2 payload naming speakers 0..n-1, each with its own gain and pan.
// upper: aliases in upper case, so that lookups must fold case.
std::string update_payload(size_t n, bool upper = false, size_t variant = 0);

// An UPDATE3 payload naming speakers 0..n-1, every one muffled (gain 0.7,
// pan 0, muffle 1): short entries, so that 512 still fit in one line.
std::string muffled_payload(size_t n, bool upper = false);
// Every speaker on the radio (UPDATE3, radio 1, no muffle).
std::string radio_payload(size_t n, bool upper = false);

// An UPDATE2 line of exactly length characters (no LF), naming as many
// speakers as fit, padded with spaces.
std::string update_line_of_length(size_t length, size_t variant = 0);

} // namespace mvbench
