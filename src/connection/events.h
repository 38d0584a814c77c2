// The host's server, user and channel events: the current connection, the
// local identity, the voice alias map and the falloff worker's start and stop.
#pragma once

#include "state/host_api.h"

namespace mv {

void on_server_synchronized(ConnectionId connection) noexcept;
// Stops the worker, forgets the connection, the identity and both tables.
void connection_reset() noexcept;
// Rebuilds the voice alias map from the host (user and channel events).
void alias_map_refresh() noexcept;

// How long a reset waits for the worker to end.
inline constexpr uint32_t kWorkerStopWaitMs = 6000;

} // namespace mv
