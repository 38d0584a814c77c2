#include "audio/audio_callback.h"

#include <cstring>

#include "audio/spatial.h"
#include "common/text.h"
#include "falloff/speaker_table.h"
#include "log/trace_ring.h"
#include "platform/platform.h"
#include "state/state.h"

namespace mv {

// Runs on the host's real-time audio thread: no allocation, no I/O, no host
// calls, no lock; two O(1) lookups in the live tables and a short copy.
bool on_audio_source_fetched(float *pcm, uint32_t frames, uint16_t channels, uint32_t rate, bool is_speech,
                             uint32_t user_id) noexcept {
    if (pcm == nullptr || !is_speech || channels == 0) return false;
    if (!g_state.initialised.load(std::memory_order_acquire) ||
        !g_state.audio_enabled.load(std::memory_order_relaxed))
        return false;

    char alias[kAliasCap];
    alias[0] = '\0';
    int alias_found = 0;
    int state_found = 0;
    float gain = 0.0f;
    float pan = 0.0f;
    {
        // Both pointers are loaded once: the call sees each table wholly as it
        // was before or after a publish, never a mix.
        g_state.audio_readers.fetch_add(1);
        const AliasMap &map = *g_state.alias_map.load();
        const SpeakerTable &speakers = *g_state.speakers.load();
        if (const AliasEntry *entry = alias_map_find(map, user_id)) {
            alias_found = 1;
            std::memcpy(alias, entry->alias, entry->alias_len + 1);
            if (const SpeakerState *row = speaker_table_find(
                    speakers, std::string_view(entry->alias, entry->alias_len), entry->alias_hash)) {
                state_found = 1;
                gain = row->gain;
                pan = row->pan;
            }
        }
        g_state.audio_readers.fetch_sub(1, std::memory_order_release);
    }
    gain = clamp_gain(gain);
    pan = clamp_pan(pan);

    const uint32_t sequence = g_state.audio_sequence.fetch_add(1, std::memory_order_relaxed) + 1;
    // Measuring peaks for a line that will not be written would be wasted.
    const bool traced = is_traced(sequence) && g_state.audio_trace.load(std::memory_order_relaxed);
    const uint64_t count = static_cast<uint64_t>(frames) * channels;
    const float peak_before = traced ? peak_abs(pcm, count) : 0.0f;

    const Multipliers m = channels == 1 ? Multipliers{gain, gain} : pan_multipliers(gain, pan);
    apply_gain_pan(pcm, frames, channels, gain, m);

    // Only numbers are copied here; the drain thread formats and writes them.
    if (traced) {
        AudioTrace t;
        t.when = platform::time_now();
        t.sequence = sequence;
        t.user_id = user_id;
        copy_text(t.alias, sizeof t.alias, displayed_alias(alias));
        t.alias_found = alias_found;
        t.state_found = state_found;
        t.gain = gain;
        t.pan = pan;
        t.channels = channels;
        t.samples = frames;
        t.rate = rate;
        t.left = m.left;
        t.right = m.right;
        t.peak_before = peak_before;
        t.peak_after = peak_abs(pcm, count);
        t.peak_ratio = peak_before > 1e-7f ? t.peak_after / peak_before : 0.0f;
        trace_push(t);
    }
    return true;
}

} // namespace mv
