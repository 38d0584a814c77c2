// Trace records of the audio path. The audio thread only copies numbers into a
// preallocated slot (no formatting, no allocation, no I/O); a non-real-time
// drain thread formats each record into its log line and writes it with the
// time stamp of the call, in order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "falloff/speaker_table.h"

namespace mv {

struct AudioTrace {
    int64_t when; // calendar time of the call
    uint32_t sequence;
    uint32_t user_id;
    char alias[kAliasCap]; // the displayed alias
    int alias_found;
    int state_found;
    float gain, pan;
    uint32_t channels, samples, rate;
    float left, right; // the multipliers in effect at the end of the call
    float muffle;      // the muffle used (0: none, and no field in the line)
    float radio;       // the radio used (0: none, and no field in the line)
    float peak_before, peak_after, peak_ratio;
};

// Formats the trace's log message (without time stamp); returns its length.
size_t format_audio_trace(char *out, size_t cap, const AudioTrace &trace) noexcept;

// Real-time safe, lock-free; false when the ring is full (the record is dropped
// and counted; the next drain writes the count).
bool trace_push(const AudioTrace &trace) noexcept;
// Writes every complete record to the file log, in order. Non-real-time only.
void trace_drain() noexcept;

// The drain thread: started by init when debug_log is on, stopped (after a last
// drain) by shutdown.
void trace_drain_start() noexcept;
void trace_drain_stop() noexcept;

} // namespace mv
