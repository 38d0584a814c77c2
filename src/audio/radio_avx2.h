// The radio voice of stereo on processors with AVX2 and FMA: sixteen frames
// at a time, their eight pair sums in one vector, even samples in its lower
// half and odd ones in its upper half. The high-pass's recursion reaches four
// samples back, two places in the same half: the first two places follow from
// the vector before, the last two from the first two substituted.
#pragma once

#include <cstdint>

#include "audio/radio.h"

namespace mv {

// Runs the first frames / 16 * 16 frames as radio_apply does and returns how
// many that was; state is carried as there. Only when kLowpassAvx2, with
// filter.reach 4 and no pair pending.
uint32_t radio_stereo_avx2(const RadioFilter &filter, const RadioMix &mix, float *pcm, uint32_t frames,
                           RadioState &state) noexcept;

} // namespace mv
