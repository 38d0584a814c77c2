#include "reference.h"

#include <cstdio>
#include <cstring>
#include <sys/socket.h>

#include "audio/spatial.h"

namespace mvbench::reference {

namespace {

char fold(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// _stricmp: whole strings, ASCII case folded.
int stricmp(const char *a, const char *b) {
    for (;; ++a, ++b) {
        const int d = fold(*a) - fold(*b);
        if (d != 0 || *a == '\0') return d;
    }
}

bool space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

float clamp(float v, float lo, float hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

} // namespace

bool audio_callback(State &state, float *pcm, uint32_t frames, uint16_t channels, uint32_t user_id) noexcept {
    if (pcm == nullptr || channels == 0) return false;
    char alias[mv::kAliasCap] = {};
    float gain = 0.0f;
    float pan = 0.0f;
    state.lock.lock();
    for (size_t i = 0; i < state.alias_count; ++i) {
        if (state.aliases[i].user_id != user_id) continue;
        std::snprintf(alias, sizeof alias, "%s", state.aliases[i].alias);
        for (size_t j = 0; j < state.speaker_count; ++j) {
            if (stricmp(state.speakers[j].alias, alias) == 0) {
                gain = state.speakers[j].gain;
                pan = state.speakers[j].pan;
                break;
            }
        }
        break;
    }
    state.lock.unlock();
    gain = clamp(gain, 0.0f, 1.0f);
    pan = clamp(pan, -1.0f, 1.0f);
    const mv::Multipliers m = channels == 1 ? mv::Multipliers{gain, gain} : mv::pan_multipliers(gain, pan);
    mv::apply_gain_pan(pcm, frames, channels, gain, m);
    return true;
}

void apply_update(State &state, mv::UpdateKind kind, const char *payload, uint32_t now_ms) noexcept {
    while (space(*payload))
        ++payload;
    mv::SpeakerState snapshot[8];
    size_t snapshot_rows = 0;
    state.lock.lock();
    state.speaker_count = 0;
    if (*payload != '\0') {
        char work[8192];
        std::snprintf(work, sizeof work, "%s", payload);
        char *save = nullptr;
        for (char *piece = strtok_r(work, ",", &save); piece != nullptr;
             piece = strtok_r(nullptr, ",", &save)) {
            while (space(*piece))
                ++piece;
            size_t len = std::strlen(piece);
            while (len > 0 && space(piece[len - 1]))
                piece[--len] = '\0';
            char alias[mv::kAliasCap];
            float gain = 0.0f;
            float pan = 0.0f;
            const int n = kind == mv::UpdateKind::update
                              ? std::sscanf(piece, "%127s %f", alias, &gain)
                              : std::sscanf(piece, "%127s %f %f", alias, &gain, &pan);
            if (n < 2) continue;
            gain = clamp(gain, 0.0f, 1.0f);
            pan = clamp(pan, -1.0f, 1.0f);
            size_t row = 0;
            while (row < state.speaker_count && stricmp(state.speakers[row].alias, alias) != 0)
                ++row;
            if (row == state.speaker_count) {
                if (state.speaker_count == mv::kMaxSpeakers) continue;
                std::snprintf(state.speakers[row].alias, mv::kAliasCap, "%s", alias);
                ++state.speaker_count;
            }
            state.speakers[row].gain = gain;
            state.speakers[row].pan = pan;
        }
    }
    if (state.last_update_log_ms == 0 || now_ms - state.last_update_log_ms >= 2000) {
        state.last_update_log_ms = now_ms;
        snapshot_rows = state.speaker_count < 8 ? state.speaker_count : 8;
        std::memcpy(snapshot, state.speakers, snapshot_rows * sizeof snapshot[0]);
    }
    state.lock.unlock();
    (void)snapshot; // the log lines are written after the lock, as in the plugin
}

long read_line_one_byte(int fd, char *line, size_t cap) noexcept {
    size_t len = 0;
    for (;;) {
        char c;
        const ssize_t n = recv(fd, &c, 1, 0);
        if (n <= 0) return len > 0 && n < 0 ? static_cast<long>(len) : -1;
        if (c == '\r') continue;
        if (c == '\n') break;
        line[len++] = c;
        if (len == cap - 1) break;
    }
    line[len] = '\0';
    return static_cast<long>(len);
}

} // namespace mvbench::reference
