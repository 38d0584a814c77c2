#include "settings/settings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace fs = std::filesystem;

namespace {

using mv::PluginSettings;

PluginSettings defaults() {
    PluginSettings s{};
    mv::settings_defaults(s);
    return s;
}

// host|port|api_key|enabled|debug_log|reconnect_sec[|smoothing_ms when set]: one string to compare
// and to read in a failure.
std::string describe(const PluginSettings &s) {
    return std::string(s.server_host) + "|" + std::to_string(s.server_port) + "|" + s.api_key + "|" +
           std::to_string(s.enabled) + "|" + std::to_string(s.debug_log) + "|" +
           std::to_string(s.reconnect_sec) +
           (s.smoothing_ms != 0 ? "|" + std::to_string(s.smoothing_ms) : "");
}

// Writes content to a fresh temporary file and applies it, over the defaults, as the settings file.
std::string apply_file(const std::string &content) {
    static std::random_device random;
    fs::path path = fs::temp_directory_path() /
                    ("mv_settings_" + std::to_string(random()) + "_" + std::to_string(random()) + ".ini");
    std::ofstream(path, std::ios::binary) << content;
    PluginSettings s = defaults();
    std::FILE *f = std::fopen(path.string().c_str(), "rb");
    EXPECT_NE(f, nullptr);
    mv::settings_apply_file(s, f);
    if (f != nullptr) std::fclose(f);
    fs::remove(path);
    return describe(s);
}

TEST(Settings, FileLines) {
    const std::string v255(255, 'v');
    // The first fgets read takes 1023 bytes, the remaining 477 come back as a line of their own.
    const std::string split_line =
        "api_key=" + std::string(1015, 'k') + "server_port=4242" + std::string(1500 - 1023 - 16, ' ') + "\n";
    struct Case {
        const char *name;
        std::string file;
        std::string want;
    } cases[] = {
        {"empty file keeps defaults", "", "127.0.0.1|8890|SET_THIS_PRIVATE_KEY|1|1|8"},
        {"spaced key and value, any case", "enabled=0\n   Enabled  =  Yes  \n",
         "127.0.0.1|8890|SET_THIS_PRIVATE_KEY|1|1|8"},
        {"boolean 2 and empty are false", "enabled = 2\ndebug_log =\n",
         "127.0.0.1|8890|SET_THIS_PRIVATE_KEY|0|0|8"},
        {"boolean words", "enabled=off\ndebug_log=off\nDEBUG_LOG=ON\n",
         "127.0.0.1|8890|SET_THIS_PRIVATE_KEY|0|1|8"},
        {"comments and lines without '='",
         "#server_port=1\n;server_port=2\n  # api_key=x\nserver_port 3\nenabled\n",
         "127.0.0.1|8890|SET_THIS_PRIVATE_KEY|1|1|8"},
        {"no comment after a value", "server_port = 9000 # local\nserver_host = example.org # local\n",
         "example.org # local|9000|SET_THIS_PRIVATE_KEY|1|1|8"},
        {"api_key keeps later '='", "api_key = a=b==c \n", "127.0.0.1|8890|a=b==c|1|1|8"},
        {"empty value and empty key", "api_key=\n= 5\n", "127.0.0.1|8890||1|1|8"},
        {"reconnect 0", "reconnect_sec=0\n", "127.0.0.1|8890|SET_THIS_PRIVATE_KEY|1|1|1"},
        {"reconnect negative", "reconnect_sec=-5\n", "127.0.0.1|8890|SET_THIS_PRIVATE_KEY|1|1|1"},
        {"reconnect at bound", "reconnect_sec=2147483\n", "127.0.0.1|8890|SET_THIS_PRIVATE_KEY|1|1|2147483"},
        {"reconnect above bound", "reconnect_sec=2147484\n",
         "127.0.0.1|8890|SET_THIS_PRIVATE_KEY|1|1|2147483"},
        {"port out of TCP range kept", "server_port=70000\n", "127.0.0.1|70000|SET_THIS_PRIVATE_KEY|1|1|8"},
        // Numbers follow atoi: sign, digits up to the first other character, 0 without digits;
        // they saturate rather than overflow.
        {"atoi: whitespace and sign", "server_port= \t+42x\n", "127.0.0.1|42|SET_THIS_PRIVATE_KEY|1|1|8"},
        {"atoi: no digits", "server_port=- 5\n", "127.0.0.1|0|SET_THIS_PRIVATE_KEY|1|1|8"},
        {"atoi: hex is 0", "server_port=0x10\n", "127.0.0.1|0|SET_THIS_PRIVATE_KEY|1|1|8"},
        {"atoi: saturates", "server_port=99999999999999999999\n",
         "127.0.0.1|2147483647|SET_THIS_PRIVATE_KEY|1|1|8"},
        {"atoi: lowest", "server_port=-2147483648\n", "127.0.0.1|-2147483648|SET_THIS_PRIVATE_KEY|1|1|8"},
        {"booleans: only 1, true, yes, on", "enabled=TRUE\ndebug_log=01\n",
         "127.0.0.1|8890|SET_THIS_PRIVATE_KEY|1|0|8"},
        {"booleans: no and y are false", "enabled=no\ndebug_log=y\n",
         "127.0.0.1|8890|SET_THIS_PRIVATE_KEY|0|0|8"},
        {"smoothing in range", "smoothing_ms=20\n", "127.0.0.1|8890|SET_THIS_PRIVATE_KEY|1|1|8|20"},
        {"smoothing clamped", "smoothing_ms=5000\n", "127.0.0.1|8890|SET_THIS_PRIVATE_KEY|1|1|8|1000"},
        {"smoothing negative or a word is 0", "smoothing_ms=-3\nSmoothing_MS=30\nsmoothing_ms=soft\n",
         "127.0.0.1|8890|SET_THIS_PRIVATE_KEY|1|1|8"},
        {"last duplicate wins", "server_port=1\nSERVER_PORT=-2\n", "127.0.0.1|-2|SET_THIS_PRIVATE_KEY|1|1|8"},
        {"unknown keys ignored", "server=1.2.3.4\nport=1\n", "127.0.0.1|8890|SET_THIS_PRIVATE_KEY|1|1|8"},
        {"byte-order mark is not whitespace", "\xEF\xBB\xBFserver_port=1\nserver_host=h\n",
         "h|8890|SET_THIS_PRIVATE_KEY|1|1|8"},
        {"CRLF same as LF", "server_host = h\r\napi_key = k\r\nenabled = off\r\n", "h|8890|k|0|1|8"},
        {"no final line end", "server_port=77", "127.0.0.1|77|SET_THIS_PRIVATE_KEY|1|1|8"},
        {"values cut to 255", "server_host=" + std::string(300, 'v') + "\napi_key=" + std::string(300, 'v'),
         v255 + "|8890|" + v255 + "|1|1|8"},
        {"1500-character line read in two parts", split_line,
         "127.0.0.1|4242|" + std::string(255, 'k') + "|1|1|8"},
        // Past 64 KiB only whole lines count: the 64 KiB mark falls after "server_port=12".
        {"a line across the 64 KiB mark is not read", "#" + std::string(65520, 'c') + "\nserver_port=1234\n",
         "127.0.0.1|8890|SET_THIS_PRIVATE_KEY|1|1|8"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(apply_file(c.file), c.want) << c.name;
}

TEST(Settings, EnvironmentOverrides) {
    const std::string host255(255, 'h');
    const std::string host256(256, 'h');
    const std::string port31 = std::string(27, ' ') + "1234";
    const std::string port32 = std::string(28, ' ') + "1234";
    struct Case {
        const char *name;
        const char *host;
        const char *port;
        const char *want_host; // null: unchanged
        int32_t want_port;
    } cases[] = {
        {"unset", nullptr, nullptr, nullptr, 8890},
        {"empty", "", "", nullptr, 8890},
        {"host 255 taken", host255.c_str(), nullptr, host255.c_str(), 8890},
        {"host 256 ignored", host256.c_str(), nullptr, nullptr, 8890},
        {"host taken untrimmed", " h ", nullptr, " h ", 8890},
        {"port word gives 0", nullptr, "word", nullptr, 0},
        {"port 31 characters", nullptr, port31.c_str(), nullptr, 1234},
        {"port 32 characters ignored", nullptr, port32.c_str(), nullptr, 8890},
        {"port above TCP range", nullptr, "70000", nullptr, 70000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PluginSettings s = defaults();
        mv::settings_apply_env(s, c.host, c.port);
        EXPECT_STREQ(s.server_host, c.want_host != nullptr ? c.want_host : mv::kDefaultServerHost);
        EXPECT_EQ(s.server_port, c.want_port);
    }
}

TEST(Settings, PathsFromModule) {
    const std::string dir1010 = "/" + std::string(1009, 'd');
    const std::string long_module = dir1010 + "/libmv.so";
    const std::string too_long_module = "/" + std::string(1022, 'd') + "/m"; // 1025 characters
    struct Case {
        const char *module;
        char sep;
        std::string dir;
        std::string settings;
        std::string log;
    } cases[] = {
        {"/opt/mumble/plugins/libmv.so", '/', "/opt/mumble/plugins", "/opt/mumble/plugins/marlpike_voice.ini",
         "/opt/mumble/plugins/marlpike_voice.log"},
        {"C:\\Users\\a\\mv.dll", '\\', "C:\\Users\\a", "C:\\Users\\a\\marlpike_voice.ini",
         "C:\\Users\\a\\marlpike_voice.log"},
        // Only the given separator counts.
        {"C:/Users/a/mv.dll", '\\', ".", ".\\marlpike_voice.ini", ".\\marlpike_voice.log"},
        {nullptr, '/', ".", "./marlpike_voice.ini", "./marlpike_voice.log"},
        {"/libmv.so", '/', "", "/marlpike_voice.ini", "/marlpike_voice.log"},
        {long_module.c_str(), '/', dir1010, (dir1010 + "/marlpike_voice.ini").substr(0, 1023),
         (dir1010 + "/marlpike_voice.log").substr(0, 1023)},
        {too_long_module.c_str(), '/', ".", "./marlpike_voice.ini", "./marlpike_voice.log"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.module != nullptr ? std::string(c.module).substr(0, 40) : "(null)");
        mv::PluginPaths p{};
        mv::paths_from_module(p, c.module, c.sep);
        EXPECT_EQ(p.plugin_dir, c.dir);
        EXPECT_EQ(p.settings_path, c.settings);
        EXPECT_EQ(p.log_path, c.log);
    }
}

void set_env(const char *name, const char *value) {
#ifdef _WIN32
    _putenv_s(name, value != nullptr ? value : "");
#else
    if (value != nullptr)
        setenv(name, value, 1);
    else
        unsetenv(name);
#endif
}

// The environment layer of the whole load: an over-long variable must be
// ignored, not taken cut to its buffer.
TEST(Settings, LoadSettingsEnvironmentLengths) {
    set_env("MARLPIKE_VOICE_HOST", nullptr);
    set_env("MARLPIKE_VOICE_PORT", nullptr);
    PluginSettings base{};
    mv::PluginPaths paths{};
    mv::load_settings(base, paths);

    struct Case {
        std::string host;
        std::string port;
        bool host_taken;
        bool port_taken;
    } cases[] = {
        {std::string(255, 'a'), "4321", true, true},
        {std::string(256, 'a'), "4321", false, true},
        {std::string(1000, 'a'), std::string(32, '1'), false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.host.size());
        set_env("MARLPIKE_VOICE_HOST", c.host.c_str());
        set_env("MARLPIKE_VOICE_PORT", c.port.c_str());
        PluginSettings s{};
        mv::load_settings(s, paths);
        EXPECT_EQ(std::string(s.server_host), c.host_taken ? c.host : std::string(base.server_host));
        EXPECT_EQ(s.server_port, c.port_taken ? 4321 : base.server_port);
    }
    set_env("MARLPIKE_VOICE_HOST", nullptr);
    set_env("MARLPIKE_VOICE_PORT", nullptr);
}

} // namespace
