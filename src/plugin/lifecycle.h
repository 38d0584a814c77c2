// Start-up and shut-down of the plugin.
#pragma once

#include "state/host_api.h"

namespace mv {

ErrorCode plugin_init(PluginId id) noexcept;
void plugin_shutdown() noexcept;
void plugin_register_api(const void *table) noexcept;

} // namespace mv
