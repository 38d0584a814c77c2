// The stereo low-pass on processors with AVX2 and FMA: four frames to a
// vector, whose outputs depend on the vectors before them only through one
// multiply-add per two vectors, so it runs at the speed of its arithmetic
// rather than of that chain.
#pragma once

#include <cstdint>

namespace mv {

// Whether this processor (and the system, which must save the wide registers)
// runs the AVX2 kernels, this one and the radio's. Read once, when the library
// loads.
extern const bool kLowpassAvx2;

// Filters the first frames / 8 * 8 frames as lowpass_stereo does and returns
// how many that was; state is carried as there. Only when kLowpassAvx2.
uint32_t lowpass_stereo_avx2(float a, const float gain[2], float *pcm, uint32_t frames,
                             float state[2]) noexcept;

} // namespace mv
