#include "plugin/lifecycle.h"

#include <cstring>

#include "connection/events.h"
#include "log/log.h"
#include "log/trace_ring.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "state/host_calls.h"
#include "state/state.h"

namespace mv {

namespace {
// Init and shutdown never overlap each other (they may race a stray callback).
platform::Lock g_lifecycle_calls;
} // namespace

void plugin_register_api(const void *table) noexcept {
    if (table == nullptr) return;
    std::memcpy(g_state.api_table, table, sizeof g_state.api_table);
    g_state.api_registered.store(true);
}

ErrorCode plugin_init(PluginId id) noexcept {
    platform::LockGuard calls(g_lifecycle_calls);
    if (g_state.initialised.load()) connection_reset(); // init twice: start over cleanly

    g_state.plugin_id.store(id);
    const SettingsFileRead read = load_settings(g_state.settings, g_state.paths);
    log_configure(g_state.settings.debug_log, g_state.paths.log_path);
    log_set_secret(g_state.settings.api_key);
    if (read.cut)
        file_log("settings_file_cut path=%s read_bytes=%zu", g_state.paths.settings_path, read.used);
    g_state.audio_enabled.store(g_state.settings.enabled, std::memory_order_relaxed);
    g_state.audio_trace.store(g_state.settings.debug_log, std::memory_order_relaxed);
    g_state.audio_smoothing_ms.store(g_state.settings.smoothing_ms, std::memory_order_relaxed);
    log_set_host_sink(&host::log_line);

    if (!g_state.net_started) {
        g_state.net_started = platform::net_startup();
        if (!g_state.net_started) file_log("WSAStartup failed");
    }
    host::open_api();
    if (g_state.settings.debug_log) trace_drain_start();
    g_state.initialised.store(true);

    const PluginSettings &s = g_state.settings;
    main_log("loaded version=%d.%d.%d config=%s host=%s port=%d enabled=%d", 0, 5, 4,
             g_state.paths.settings_path, s.server_host, s.server_port, s.enabled ? 1 : 0);

    // Enabled (or re-enabled) while already on a synchronised server: the host
    // sends no synchronisation event for it, so join in as that event would.
    ConnectionId joined = -1;
    if (host::synchronised_connection(joined)) on_server_synchronized(joined);
    return 0;
}

void plugin_shutdown() noexcept {
    platform::LockGuard calls(g_lifecycle_calls);
    if (!g_state.initialised.load()) return;
    // Audio callbacks that arrive from now on leave their buffers alone.
    g_state.initialised.store(false);
    connection_reset();
    host::close_api();
    trace_drain_stop();
    if (g_state.net_started) {
        platform::net_cleanup();
        g_state.net_started = false;
    }
}

} // namespace mv
