#include "audio/audio_callback.h"

#include <cstring>

#include "audio/spatial.h"
#include "audio/voice_bank.h"
#include "common/text.h"
#include "falloff/speaker_table.h"
#include "log/trace_ring.h"
#include "platform/platform.h"
#include "state/state.h"

namespace mv {

namespace {

struct Found {
    uint32_t previous_call = 0; // the speaker's call before this one (0: unknown)
    int alias_found = 0;
    int state_found = 0;
    float gain = 0.0f;
    float pan = 0.0f;
    VoiceTarget target{}; // silence for a speaker without a row
};

constexpr uint64_t kOneReader = 1;
constexpr uint64_t kOneCall = uint64_t{1} << 32;

// Both pointers are loaded once: the call sees each table wholly as it was
// before or after a publish, never a mix. The caller has counted itself a
// reader; this ends that. alias receives the speaker's alias only when asked
// for (a traced call).
Found look_up(uint32_t user_id, uint32_t sequence, char *alias) noexcept {
    Found found;
    const AliasMap &map = *g_state.alias_map.load();
    const SpeakerTable &speakers = *g_state.speakers.load();
    if (const AliasEntry *entry = alias_map_find(map, user_id)) {
        found.previous_call = entry->last_call.load(std::memory_order_relaxed);
        entry->last_call.store(sequence, std::memory_order_relaxed);
        found.alias_found = 1;
        if (alias != nullptr) std::memcpy(alias, entry->alias, entry->alias_len + 1);
        if (const SpeakerState *row = speaker_table_find(
                speakers, std::string_view(entry->alias, entry->alias_len), entry->alias_hash)) {
            found.state_found = 1;
            found.gain = row->gain;
            found.pan = row->pan;
            found.target = {row->left, row->right, row->gain, row->muffle, row->radio};
        }
    }
    g_state.audio_calls.fetch_sub(kOneReader, std::memory_order_release);
    return found;
}

} // namespace

// Runs on the host's real-time audio thread: no allocation, no I/O, no host
// calls, no lock; two O(1) lookups in the live tables, then multiplications
// by what the table's builder computed. Smoothing, muffling and the radio keep
// each speaker's memory in the voice bank.
bool on_audio_source_fetched(float *pcm, uint32_t frames, uint16_t channels, uint32_t rate, bool is_speech,
                             uint32_t user_id) noexcept {
    if (pcm == nullptr || !is_speech || channels == 0) return false;
    if (!g_state.initialised.load(std::memory_order_acquire) ||
        !g_state.audio_enabled.load(std::memory_order_relaxed))
        return false;

    // Numbered and counted as a reader in one step; the sequence wraps within
    // its half, the readers never carry into it.
    const uint32_t sequence =
        static_cast<uint32_t>(g_state.audio_calls.fetch_add(kOneCall + kOneReader) >> 32) + 1;
    // Measuring peaks for a line that will not be written would be wasted.
    const bool traced = is_traced(sequence) && g_state.audio_trace.load(std::memory_order_relaxed);
    char alias[kAliasCap];
    alias[0] = '\0';
    const Found found = look_up(user_id, sequence, traced ? alias : nullptr);

    const uint64_t count = static_cast<uint64_t>(frames) * channels;
    const float peak_before = traced ? peak_abs(pcm, count) : 0.0f;

    VoiceTarget used = found.target;
    if (channels == 1) used.left = used.right = used.mid;
    const auto smoothing_ms =
        static_cast<uint32_t>(g_state.audio_smoothing_ms.load(std::memory_order_relaxed));
    if (smoothing_ms == 0 && !(used.muffle > 0.0f) && !(used.radio > 0.0f)) {
        // The common case: the row's multipliers, as a step, nothing remembered.
        apply_gain_pan(pcm, frames, channels, used.mid, Multipliers{used.left, used.right});
    } else if (const VoiceClaim voice = voice_claim(user_id, platform::coarse_tick_ms());
               voice.state != nullptr) {
        if (voice.fresh) voice_start(*voice.state, used);
        voice_continue(*voice.state, found.previous_call, sequence);
        used = voice_apply(*voice.state, used, pcm, frames, channels, rate, smoothing_ms);
        voice_release(voice);
    } else {
        // No memory to be had: the target as a step, a muffle from a fresh filter.
        VoiceState once;
        voice_start(once, used);
        used = voice_apply(once, used, pcm, frames, channels, rate, 0);
    }

    // Only numbers are copied here; the drain thread formats and writes them.
    if (traced) {
        AudioTrace t;
        t.when = platform::time_now();
        t.sequence = sequence;
        t.user_id = user_id;
        copy_text(t.alias, sizeof t.alias, displayed_alias(alias));
        t.alias_found = found.alias_found;
        t.state_found = found.state_found;
        t.gain = found.gain;
        t.pan = found.pan;
        t.channels = channels;
        t.samples = frames;
        t.rate = rate;
        t.left = used.left;
        t.right = used.right;
        t.muffle = used.muffle;
        t.radio = used.radio;
        t.peak_before = peak_before;
        t.peak_after = peak_abs(pcm, count);
        t.peak_ratio = peak_before > 1e-7f ? t.peak_after / peak_before : 0.0f;
        trace_push(t);
    }
    return true;
}

} // namespace mv
