// The falloff worker: the plugin's one thread, which keeps the link to the
// falloff server, applies its updates and reconnects after failures.
#pragma once

#include <cstdint>

namespace mv {

struct FalloffWorker;

// Starts a worker; null when the thread cannot be created.
[[nodiscard]] FalloffWorker *worker_start() noexcept;
// Stops it: interrupts every wait, waits at most wait_ms for the thread, and
// releases the handle. A worker that is still inside a blocking name lookup
// finishes on its own and touches nothing shared afterwards.
void worker_stop(FalloffWorker *worker, uint32_t wait_ms) noexcept;

} // namespace mv
