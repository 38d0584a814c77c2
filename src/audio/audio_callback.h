// The host's audio callback for one decoded speaker.
#pragma once

#include <cstdint>

namespace mv {

bool on_audio_source_fetched(float *pcm, uint32_t frames, uint16_t channels, uint32_t rate, bool is_speech,
                             uint32_t user_id) noexcept;

} // namespace mv
