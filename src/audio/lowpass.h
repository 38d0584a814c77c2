// The one-pole low-pass of a muffled speaker, y[n] = b y[n-1] + a g x[n] with
// b = 1 - a and g the channel's gain, over interleaved stereo in place (the
// gain rides in the filter's own first multiply, which saves a pass). Each sample depends on the one
// before, so a plain loop waits on that chain at every frame; this one works
// on two frames at a time and reaches back four vectors at once, so that the
// processor can overlap the work (the outputs equal the plain loop's to
// within float rounding).
#pragma once

#include <cstdint>

namespace mv {

// gain holds the left and right gains; state the previous output of each
// channel, before and after the call. Processors with AVX2 and FMA run most
// frames on a wider kernel.
void lowpass_stereo(float a, const float gain[2], float *pcm, uint32_t frames, float state[2]) noexcept;
// Every frame on SSE2, as processors without AVX2 run it.
void lowpass_stereo_sse2(float a, const float gain[2], float *pcm, uint32_t frames, float state[2]) noexcept;

} // namespace mv
