// The speaker state table: per-speaker gain and pan from the latest update.
// Tables are built privately (parse, clamp, merge, index) and published whole
// by swapping a pointer under the state lock, so the lock is never held for
// parsing and readers see either the whole old or the whole new table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace mv {

inline constexpr size_t kMaxSpeakers = 512;
inline constexpr size_t kAliasCap = 128;

enum class UpdateKind { update, update2, update3 };
[[nodiscard]] const char *update_kind_name(UpdateKind kind) noexcept;

struct SpeakerState {
    char alias[kAliasCap];
    float gain;   // [0, 1]
    float pan;    // [-1, 1]
    float muffle; // [0, 1]: 0 clear, 1 fully muffled (UPDATE3 only)
    float radio;  // [0, 1]: 0 none, 1 a full radio voice (UPDATE3 only, after a muffle)
    // The equal-power pan law applied to gain and pan when the table is built.
    float left;
    float right;
};

struct SpeakerTable {
    SpeakerState rows[kMaxSpeakers];
    uint32_t hashes[kMaxSpeakers];       // fold_hash of each row's alias
    uint8_t alias_lengths[kMaxSpeakers]; // so that a lookup need not measure them
    size_t count;
    // Open-addressed index on the folded alias: slot holds row+1, 0 is empty.
    uint16_t index[2 * kMaxSpeakers];
};

// One speaker entry, already trimmed: "alias gain" (UPDATE), "alias gain [pan]"
// (UPDATE2), "alias gain [pan [muffle [radio]]]" (UPDATE3). False when invalid.
// A number that is not a number, or is absent, is stored as 0; nothing is clamped.
bool parse_speaker_entry(std::string_view entry, UpdateKind kind, SpeakerState &out) noexcept;

// Rebuilds table from an update payload: split at commas, parse, clamp, merge
// repeated aliases (first position and spelling, last values), cap at 512
// rows; then each row's left and right multipliers.
void build_speaker_table(SpeakerTable &table, UpdateKind kind, std::string_view payload) noexcept;

void speaker_table_clear(SpeakerTable &table) noexcept;

// The row whose alias equals alias under ASCII case folding, or null.
[[nodiscard]] const SpeakerState *speaker_table_find(const SpeakerTable &table, std::string_view alias,
                                                     uint32_t alias_hash) noexcept;

[[nodiscard]] float clamp_gain(float gain) noexcept;           // [0, 1], NaN -> 0
[[nodiscard]] float clamp_pan(float pan) noexcept;             // [-1, 1], NaN -> 0
[[nodiscard]] float clamp_muffle(float muffle) noexcept;       // [0, 1], NaN -> 0
[[nodiscard]] inline float clamp_radio(float radio) noexcept { // the muffle's rule
    return clamp_muffle(radio);
}

} // namespace mv
