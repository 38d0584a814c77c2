// The radio voice of stereo on processors with AVX2 and FMA: four frames to a
// vector, each section's recursion taken four frames at a time (what four
// steps make of the outputs before them is worked out when the filter is
// made), so that each vector waits on the one before it through two
// multiply-adds only.
#pragma once

#include <cstdint>

#include "audio/radio.h"

namespace mv {

// Runs the first frames / 4 * 4 frames as radio_apply does and returns how
// many that was; state is carried as there. Only when kLowpassAvx2.
uint32_t radio_stereo_avx2(const RadioFilter &filter, float amount, float *pcm, uint32_t frames,
                           RadioState state[2]) noexcept;

} // namespace mv
