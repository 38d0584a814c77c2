#include "audio/voice_bank.h"

namespace mv {

struct VoiceSlot {
    // (generation << 32) | user id; generation 0 was never handed out.
    std::atomic<uint64_t> owner{0};
    std::atomic<uint32_t> last_ms{0};
    std::atomic<bool> busy{false};
    VoiceState state{};
};

namespace {

static_assert((kVoices & (kVoices - 1)) == 0, "slots are found with a mask");
constexpr size_t kProbes = 32;

constinit VoiceSlot g_slots[kVoices];
constinit std::atomic<uint32_t> g_generation{1};

bool try_take(VoiceSlot &slot) noexcept {
    return !slot.busy.load(std::memory_order_relaxed) && !slot.busy.exchange(true, std::memory_order_acquire);
}

bool silent_too_long(const VoiceSlot &slot, uint32_t now_ms) noexcept {
    return static_cast<uint32_t>(now_ms - slot.last_ms.load(std::memory_order_relaxed)) > kVoiceForgetMs;
}

} // namespace

VoiceClaim voice_claim(uint32_t user_id, uint32_t now_ms) noexcept {
    const uint64_t generation = g_generation.load(std::memory_order_acquire);
    const uint64_t want = (generation << 32) | user_id;
    const size_t home = (user_id * 2654435761u) & (kVoices - 1);
    VoiceSlot *spare = nullptr;
    for (size_t i = 0; i < kProbes; ++i) {
        VoiceSlot &slot = g_slots[(home + i) & (kVoices - 1)];
        const uint64_t owner = slot.owner.load(std::memory_order_acquire);
        if (owner == want) {
            if (!try_take(slot)) return {};
            if (slot.owner.load(std::memory_order_acquire) != want) { // given away meanwhile
                slot.busy.store(false, std::memory_order_release);
                return {};
            }
            const bool fresh = silent_too_long(slot, now_ms);
            slot.last_ms.store(now_ms, std::memory_order_relaxed);
            return {&slot, &slot.state, fresh};
        }
        if (spare == nullptr && ((owner >> 32) != generation || silent_too_long(slot, now_ms))) spare = &slot;
    }
    if (spare == nullptr || !try_take(*spare)) return {};
    const uint64_t owner = spare->owner.load(std::memory_order_acquire);
    if ((owner >> 32) == generation &&
        !silent_too_long(*spare, now_ms)) { // taken for another speaker meanwhile
        spare->busy.store(false, std::memory_order_release);
        return {};
    }
    spare->owner.store(want, std::memory_order_release);
    spare->last_ms.store(now_ms, std::memory_order_relaxed);
    return {spare, &spare->state, true};
}

void voice_release(const VoiceClaim &claim) noexcept {
    if (claim.slot != nullptr) claim.slot->busy.store(false, std::memory_order_release);
}

void voices_forget() noexcept {
    g_generation.fetch_add(1, std::memory_order_acq_rel);
}

} // namespace mv
