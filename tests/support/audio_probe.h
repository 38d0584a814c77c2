// Listening to one speaker through the plugin's audio callback: a unit stereo
// frame goes in, what the plugin makes of it comes out.
#pragma once

#include <chrono>
#include <cmath>
#include <thread>
#include <utility>

#include "fake_host.h"
#include "wait.h"

namespace mvtest {

struct Heard {
    float left;
    float right;
};

// One stereo frame of 1.0 for that user; the buffer as the plugin left it.
inline Heard hear(FakeHost &host, mv::UserId user) {
    float frame[2] = {1.0f, 1.0f};
    host.plugin().onAudioSourceFetched(frame, 1, 2, 48000, true, user);
    return {frame[0], frame[1]};
}

inline bool heard_as(Heard h, float left, float right) {
    return std::fabs(h.left - left) < 1e-5f && std::fabs(h.right - right) < 1e-5f;
}

// What gain and equal-power pan do to a unit frame.
inline Heard expected(float gain, float pan) {
    return {std::sqrt((1.0f - pan) * 0.5f) * gain, std::sqrt((1.0f + pan) * 0.5f) * gain};
}

// Polls until the user is heard as want; returns the last thing heard.
inline Heard wait_to_hear(FakeHost &host, mv::UserId user, Heard want,
                          std::chrono::milliseconds deadline = kDefaultDeadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        const Heard h = hear(host, user);
        if (heard_as(h, want.left, want.right) || std::chrono::steady_clock::now() >= until) return h;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

} // namespace mvtest
