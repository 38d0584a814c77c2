// The falloff worker: the plugin's one thread, which keeps the link to the
// falloff server, applies its updates and reconnects after failures.
#pragma once

#include <cstdint>

#include "settings/settings.h"

namespace mv {

struct FalloffWorker;

// Starts a worker with its own copy of the settings; null when the thread
// cannot be created.
[[nodiscard]] FalloffWorker *worker_start(const PluginSettings &settings) noexcept;
// Stops it: interrupts every wait (name lookups included), waits at most
// wait_ms for the thread, and releases the handle.
void worker_stop(FalloffWorker *worker, uint32_t wait_ms) noexcept;

} // namespace mv
