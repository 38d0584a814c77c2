// Name lookups that a stop can interrupt. getaddrinfo cannot be cancelled and
// may wait for a DNS server that never answers, so it runs on a thread of its
// own; the worker waits for it together with its stop event and, when
// stopped, leaves it to finish alone. Whoever lets go of the lookup last frees
// it and any addresses it found.
#pragma once

#include "platform/platform.h"

namespace mv {

enum class LookupEnd { resolved, failed, stopped };

// Resolves host:port as platform::resolve does. On resolved, *addresses holds
// the list (free it with platform::free_addresses); otherwise it is null.
LookupEnd lookup_name(const char *host, const char *port, platform::Event *stop,
                      platform::AddressList **addresses) noexcept;

} // namespace mv
