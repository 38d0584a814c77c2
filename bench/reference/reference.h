// The straightforward design, kept as the baseline that the figures are set
// against: linear scans with a case-insensitive comparison per row on the
// audio path, an update parsed with sscanf under the state lock with a linear
// search for repeated aliases, and a link that reads one byte per recv.
#pragma once

#include <cstddef>
#include <cstdint>

#include "connection/alias_map.h"
#include "falloff/speaker_table.h"
#include "platform/platform.h"

namespace mvbench::reference {

struct State {
    mv::platform::Lock lock;
    mv::AliasEntry aliases[mv::kMaxAliases];
    size_t alias_count = 0;
    mv::SpeakerState speakers[mv::kMaxSpeakers];
    size_t speaker_count = 0;
    uint32_t last_update_log_ms = 0;
};

// The audio callback: one lock, a scan of each table, then the same sample
// loop as the plugin's.
bool audio_callback(State &state, float *pcm, uint32_t frames, uint16_t channels, uint32_t user_id) noexcept;

// Apply update with the whole parse under the lock.
void apply_update(State &state, mv::UpdateKind kind, const char *payload, uint32_t now_ms) noexcept;

// Reads one line with one-byte recv calls from a blocking socket. Returns the
// line length, or -1 on close, error or a timeout with nothing received.
long read_line_one_byte(int fd, char *line, size_t cap) noexcept;

} // namespace mvbench::reference
