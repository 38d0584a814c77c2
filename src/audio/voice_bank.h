// Where the audio path keeps each speaker's VoiceState between calls: fixed
// storage, no allocation, no lock. A slot is taken by a try-flag that never
// waits: a call that finds its slot busy (two audio threads on one speaker,
// which the host does not do in practice) plays that call without memory.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "audio/voice.h"

namespace mv {

// More speakers than this within 250 ms of each other: the others play
// without smoothing or muffling (their gain and pan still apply exactly).
inline constexpr size_t kVoices = 1024;
// A speaker not heard for longer than this starts at the target again.
inline constexpr uint32_t kVoiceForgetMs = 250;

struct VoiceSlot;

struct VoiceClaim {
    VoiceSlot *slot = nullptr; // null: no memory for this call
    VoiceState *state = nullptr;
    bool fresh = false; // new, back after a silence, or forgotten: start at the target
};

// The speaker's slot, taken for the length of one call; now_ms is a tick.
[[nodiscard]] VoiceClaim voice_claim(uint32_t user_id, uint32_t now_ms) noexcept;
void voice_release(const VoiceClaim &claim) noexcept;

// Every speaker starts afresh (the server connection ended or the plugin shut
// down). Safe from any thread: nothing is written that a call may be using.
void voices_forget() noexcept;

} // namespace mv
