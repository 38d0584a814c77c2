// What a user can configure, and the two files that lie beside the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

namespace mv {

// A local falloff server is the default: a game developer running the reference
// server on the same machine needs no settings file at all.
inline constexpr char kDefaultServerHost[] = "127.0.0.1";
inline constexpr int32_t kDefaultServerPort = 8890;
inline constexpr char kDefaultApiKey[] = "SET_THIS_PRIVATE_KEY";
inline constexpr int32_t kDefaultReconnectSec = 8;
// The pause is reconnect_sec * 1000 ms in a signed 32-bit integer.
inline constexpr int32_t kMaxReconnectSec = 2147483;
// 0: a new gain or pan is a step at the next audio call; above: each speaker's
// multipliers move to it linearly over this many milliseconds.
inline constexpr int32_t kMaxSmoothingMs = 1000;

inline constexpr char kSettingsFileName[] = "marlpike_voice.ini";
// A settings file is a few lines; this bounds what a stray large file costs.
inline constexpr size_t kMaxSettingsBytes = 64 * 1024;
inline constexpr char kLogFileName[] = "marlpike_voice.log";

struct PluginSettings {
    char server_host[256];
    int32_t server_port;
    char api_key[256];
    bool enabled;
    bool debug_log;
    int32_t reconnect_sec;
    int32_t smoothing_ms; // 0 (off) to kMaxSmoothingMs
};

struct PluginPaths {
    char plugin_dir[1024];
    char settings_path[1024];
    char log_path[1024];
};

void settings_defaults(PluginSettings &s) noexcept;
// Plugin directory and file paths from the library's own path (null: unknown).
void paths_from_module(PluginPaths &p, const char *module_path, char separator) noexcept;
// Applies one line of the settings file, as read by fgets into a 1024-byte buffer.
void settings_apply_line(PluginSettings &s, const char *line) noexcept;
// Applies the lines of a settings file's text, cut as fgets cuts them.
void settings_apply_text(PluginSettings &s, std::string_view text) noexcept;
// What was read of a settings file: cut when it was longer than
// kMaxSettingsBytes, of which only the whole lines (used bytes) were read.
struct SettingsFileRead {
    bool cut;
    size_t used;
};

// Applies the lines of an open settings file, of which at most the first
// kMaxSettingsBytes are read: past that only the whole lines within it count.
SettingsFileRead settings_apply_file(PluginSettings &s, std::FILE *file) noexcept;
// Applies the environment overrides; a null value means the variable is unset.
void settings_apply_env(PluginSettings &s, const char *host, const char *port) noexcept;

// Defaults, module path, settings file, environment: the whole load. Says
// what was read of the file, for the log that starts after it.
SettingsFileRead load_settings(PluginSettings &s, PluginPaths &p) noexcept;

} // namespace mv
