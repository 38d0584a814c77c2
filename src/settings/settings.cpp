#include "settings/settings.h"

#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "common/text.h"
#include "platform/platform.h"

namespace mv {

namespace {

constexpr size_t kPathCap = sizeof(PluginPaths::plugin_dir);
// One fgets read: at most 1023 bytes, the rest of a longer line comes next.
constexpr size_t kLineCap = 1024;
// Environment buffers: a value that does not fit is ignored, never cut.
constexpr size_t kEnvHostCap = sizeof(PluginSettings::server_host);
constexpr size_t kEnvPortCap = 32;

// atoi over a view: whitespace, optional sign, digits up to the first other
// character. Saturates instead of overflowing, so huge numbers stay defined.
int32_t parse_int_view(std::string_view text) noexcept {
    size_t i = 0;
    while (i < text.size() && is_space(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Magnitude up to 2^31 so that INT32_MIN itself is reachable.
    constexpr int64_t kLimit = int64_t{INT32_MAX} + 1;
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > kLimit) value = kLimit;
    }
    if (negative) return static_cast<int32_t>(-value);
    return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
}

bool parse_bool_view(std::string_view text) noexcept {
    return ascii_iequals(text, "1") || ascii_iequals(text, "true") || ascii_iequals(text, "yes") ||
           ascii_iequals(text, "on");
}

// dir + sep + name, cut to the buffer like the snprintf it stands for.
void join_path(char (&out)[kPathCap], const char *dir, char sep, const char *name) noexcept {
    size_t n = copy_text(out, sizeof out, dir);
    if (n + 1 < sizeof out) {
        out[n++] = sep;
        copy_text(out + n, sizeof out - n, name);
    }
}

} // namespace

void settings_defaults(PluginSettings &s) noexcept {
    copy_text(s.server_host, sizeof s.server_host, kDefaultServerHost);
    s.server_port = kDefaultServerPort;
    copy_text(s.api_key, sizeof s.api_key, kDefaultApiKey);
    s.enabled = true;
    s.debug_log = true;
    s.reconnect_sec = kDefaultReconnectSec;
    s.smoothing_ms = 0;
}

void paths_from_module(PluginPaths &p, const char *module_path, char separator) noexcept {
    // A path that would not have fitted the module-path buffer counts as unknown,
    // so the files are looked for in the current directory.
    const char *cut = nullptr;
    if (module_path != nullptr && std::strlen(module_path) < kPathCap)
        cut = std::strrchr(module_path, separator);
    if (cut == nullptr)
        copy_text(p.plugin_dir, sizeof p.plugin_dir, ".");
    else
        copy_text(p.plugin_dir, sizeof p.plugin_dir,
                  std::string_view(module_path, static_cast<size_t>(cut - module_path)));
    join_path(p.settings_path, p.plugin_dir, separator, kSettingsFileName);
    join_path(p.log_path, p.plugin_dir, separator, kLogFileName);
}

void settings_apply_line(PluginSettings &s, const char *line) noexcept {
    if (line == nullptr) return;
    std::string_view text = trim(line);
    if (text.empty() || text.front() == '#' || text.front() == ';') return;
    size_t eq = text.find('=');
    if (eq == std::string_view::npos) return;
    std::string_view key = trim(text.substr(0, eq));
    std::string_view value = trim(text.substr(eq + 1));

    if (ascii_iequals(key, "server_host")) {
        copy_text(s.server_host, sizeof s.server_host, value);
    } else if (ascii_iequals(key, "server_port")) {
        s.server_port = parse_int_view(value);
    } else if (ascii_iequals(key, "api_key")) {
        copy_text(s.api_key, sizeof s.api_key, value);
    } else if (ascii_iequals(key, "enabled")) {
        s.enabled = parse_bool_view(value);
    } else if (ascii_iequals(key, "debug_log")) {
        s.debug_log = parse_bool_view(value);
    } else if (ascii_iequals(key, "reconnect_sec")) {
        int32_t sec = parse_int_view(value);
        if (sec < 1) sec = 1;
        if (sec > kMaxReconnectSec) sec = kMaxReconnectSec;
        s.reconnect_sec = sec;
    } else if (ascii_iequals(key, "smoothing_ms")) {
        const int32_t ms = parse_int_view(value);
        s.smoothing_ms = ms < 0 ? 0 : ms > kMaxSmoothingMs ? kMaxSmoothingMs : ms;
    }
}

void settings_apply_text(PluginSettings &s, std::string_view text) noexcept {
    // Cut as fgets into a 1024-byte buffer cuts: after a line feed, or after
    // 1023 bytes, whichever comes first.
    char line[kLineCap];
    while (!text.empty()) {
        size_t n = 0;
        while (n < sizeof line - 1 && n < text.size())
            if (text[n++] == '\n') break;
        std::memcpy(line, text.data(), n);
        line[n] = '\0';
        text.remove_prefix(n);
        settings_apply_line(s, line);
    }
}

SettingsFileRead settings_apply_file(PluginSettings &s, std::FILE *file) noexcept {
    SettingsFileRead read{false, 0};
    if (file == nullptr) return read;
    std::unique_ptr<char[]> text(new (std::nothrow) char[kMaxSettingsBytes + 1]);
    if (!text) return read;
    size_t n = std::fread(text.get(), 1, kMaxSettingsBytes + 1, file);
    if (n > kMaxSettingsBytes) {
        // Past the limit only whole lines are taken, so that no value is read cut.
        read.cut = true;
        n = kMaxSettingsBytes;
        while (n > 0 && text[n - 1] != '\n')
            --n;
    }
    read.used = n;
    settings_apply_text(s, std::string_view(text.get(), n));
    return read;
}

void settings_apply_env(PluginSettings &s, const char *host, const char *port) noexcept {
    if (host != nullptr) {
        size_t n = std::strlen(host);
        if (n >= 1 && n < kEnvHostCap) copy_text(s.server_host, sizeof s.server_host, host);
    }
    if (port != nullptr) {
        size_t n = std::strlen(port);
        if (n >= 1 && n < kEnvPortCap) s.server_port = parse_int_view(port);
    }
}

SettingsFileRead load_settings(PluginSettings &s, PluginPaths &p) noexcept {
    settings_defaults(s);

    char module[kPathCap];
    bool known = platform::module_path(module, sizeof module);
    paths_from_module(p, known ? module : nullptr, platform::dir_separator());

    // Only a regular file: a FIFO or a device there must never hang the host.
    SettingsFileRead read{false, 0};
    if (std::FILE *file = platform::file_open_regular(p.settings_path, platform::FileMode::read, nullptr)) {
        read = settings_apply_file(s, file);
        std::fclose(file);
    }

    // env_read reports the full length, so an over-long value is recognised
    // here and ignored rather than taken cut.
    char host[kEnvHostCap];
    char port[kEnvPortCap];
    size_t host_len = platform::env_read("MARLPIKE_VOICE_HOST", host, sizeof host);
    size_t port_len = platform::env_read("MARLPIKE_VOICE_PORT", port, sizeof port);
    settings_apply_env(s, host_len >= 1 && host_len < sizeof host ? host : nullptr,
                       port_len >= 1 && port_len < sizeof port ? port : nullptr);
    return read;
}

} // namespace mv
