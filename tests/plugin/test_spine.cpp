// The plugin's spine as the host sees it: the exports and metadata, where the
// start-up line goes depending on registration, start-up after shut-down, the
// audio callbacks outside the plugin's lifetime, and settings files and
// plugin folders that are not what a user meant: whatever lies at the
// settings path, start-up completes and the start-up line shows what was
// taken from it.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <random>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "session.h"

namespace mvtest {
namespace {

std::string startup_line(const Plugin &p, const std::string &host = "127.0.0.1", int port = 8890,
                         int enabled = 1) {
    return "[marlpike_voice] loaded version=0.5.4 config=" + p.dir.ini_path() + " host=" + host +
           " port=" + std::to_string(port) + " enabled=" + std::to_string(enabled);
}

std::string unprefixed(const std::string &line) {
    return line.substr(line.find("] ") + 2);
}

std::string text(Version v) {
    return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
}

TEST(Spine, Metadata) {
    Plugin p(std::nullopt);
    ASSERT_EQ(p.host.missing_exports(), kNone);
    const PluginInfo info = p.host.info();
    EXPECT_EQ(info.name, "Marlpike Voice - Spatial Audio");
    EXPECT_EQ(info.author, "Fenwright");
    EXPECT_EQ(info.description, "Marlpike server-authoritative spatial voice for Saltmarsh Ridge.");
    EXPECT_EQ(text(info.version) + " " + text(info.api_version) + " " + text(info.functions_version),
              "0.5.4 1.2.0 1.1.0");
    EXPECT_EQ(info.features, 2u);
    const PluginExports &x = p.host.plugin();
    for (const auto fn : {x.getName, x.getAuthor, x.getDescription, x.getUpdateDownloadURL}) {
        const StringWrapper got = fn();
        ASSERT_NE(got.data, nullptr);
        EXPECT_EQ(std::strlen(got.data), got.size); // NUL-terminated at size
        EXPECT_FALSE(got.needsReleasing);
    }
    EXPECT_EQ(x.getUpdateDownloadURL().size, 0u);
    EXPECT_EQ(x.deactivateFeatures(2), 0u);
    EXPECT_EQ(x.deactivateFeatures(0xFFFFFFFFu), 0u);
    EXPECT_FALSE(x.hasUpdate());
    x.releaseResource(nullptr); // nothing the plugin returns needs releasing
}

// The start-up line always reaches the file; the host's log only once a real
// table was registered, whenever that was. A null table changes nothing. A
// start-up after shut-down starts over from the defaults and reads the file
// again.
TEST(Spine, RegistrationDecidesWhereTheStartupLineGoes) {
    enum class Register { before_init, after_init, null_only, null_after_real };
    for (const Register r :
         {Register::before_init, Register::after_init, Register::null_only, Register::null_after_real}) {
        SCOPED_TRACE(static_cast<int>(r));
        Plugin p("server_host=falloff.invalid\nserver_port=9001\nenabled=0\n");
        if (r == Register::before_init || r == Register::null_after_real) p.host.register_api();
        if (r == Register::null_only || r == Register::null_after_real)
            p.host.plugin().registerAPIFunctions(nullptr);
        ASSERT_EQ(p.host.init(), 0);
        const std::string line = startup_line(p, "falloff.invalid", 9001, 0);
        const bool registered = r == Register::before_init || r == Register::null_after_real;
        EXPECT_EQ(p.host.log_lines(), registered ? std::vector<std::string>{line} : kNone);
        EXPECT_EQ(p.log(), std::vector<std::string>{unprefixed(line)});
        if (r == Register::after_init) {
            p.host.register_api();
            EXPECT_EQ(p.host.log_lines(), kNone); // registering logs nothing
            // The registration outlives shutdown. Only the port is set now:
            // host and enabled fall back to their defaults.
            p.host.shutdown();
            p.dir.write_ini("server_port=9002\n");
            ASSERT_EQ(p.host.init(), 0);
            const std::string again = startup_line(p, "127.0.0.1", 9002);
            EXPECT_EQ(p.host.log_lines(), std::vector<std::string>{again});
            EXPECT_EQ(p.log(), (std::vector<std::string>{unprefixed(line), unprefixed(again)}));
        }
        p.finish();
    }
}

// Speech is left alone outside init..shutdown; the microphone and the mixed
// output always.
TEST(Spine, AudioOutsideThePluginsLifetimeIsLeftUntouched) {
    Plugin p(std::nullopt);
    const PluginExports &x = p.host.plugin();
    const auto check_all = [&x](const char *when, bool speech) {
        SCOPED_TRACE(when);
        const std::pair<uint32_t, uint16_t> shapes[] = {{960, 2}, {1, 2}, {441, 1}, {600, 6}};
        for (const auto &[frames, channels] : shapes) {
            std::vector<float> pattern(size_t{frames} * channels);
            for (size_t i = 0; i < pattern.size(); ++i)
                pattern[i] = 0.25f + static_cast<float>(i % 17) * 0.03125f;
            std::vector<float> speech_buffer = pattern, out = pattern;
            const std::vector<int16_t> spoken(pattern.size(), -9000);
            std::vector<int16_t> mic = spoken;
            EXPECT_FALSE(speech &&
                         x.onAudioSourceFetched(speech_buffer.data(), frames, channels, 48000, true, 5));
            EXPECT_FALSE(x.onAudioInput(mic.data(), frames, channels, 48000, true));
            EXPECT_FALSE(x.onAudioOutputAboutToPlay(out.data(), frames, channels, 48000));
            EXPECT_EQ(speech_buffer, pattern);
            EXPECT_EQ(out, pattern);
            EXPECT_EQ(mic, spoken);
        }
    };
    check_all("before init", true);
    ASSERT_TRUE(p.host.start());
    check_all("while initialised", false);
    p.host.shutdown();
    check_all("after shutdown", true);
}

// "Install plugin..." in a running client: the library is loaded from a
// temporary folder, renamed into the user plugin folder while loaded and
// loaded again from there, and the loader hands back the module it has,
// under its old name. The plugin still reads the settings of the folder it
// is in now, and links with them.
TEST(Spine, InstalledFromInsideTheClientItUsesTheFolderItWasMovedTo) {
    constexpr UserId kFox = 2;
    ScriptServer server({Step::handshake(handshake()), Step::send_line("UPDATE2 VC-Fox 1 0.5")});
    TempPluginDir installed(build_path(MV_PLUGIN_LIBRARY), false,
                            kWindows ? "Mumble/Mumble/Plugins" : ".local/share/Mumble/Mumble/Plugins");
    installed.write_ini(settings(server.port()));
    const ScopedEnv home(kWindows ? "APPDATA" : "HOME", installed.root());
    Plugin unpacked("enabled=0\n"); // a settings file that must not count
    EXPECT_EQ(unpacked.host.info().name, "Marlpike Voice - Spatial Audio");
    ASSERT_TRUE(unpacked.host.move_and_reload(installed.library_path())) << unpacked.host.load_error();
    ASSERT_TRUE(unpacked.host.start(roster({{kFox, "VC-Fox", ""}}), 5));
    const std::string startup = "loaded version=0.5.4 config=" + installed.ini_path() +
                                " host=127.0.0.1 port=" + std::to_string(server.port()) + " enabled=1";
    EXPECT_EQ(unpacked.host.log_lines().at(0), "[marlpike_voice] " + startup);
    EXPECT_EQ(unpacked.wait_to_hear(kFox, expected(1.0f, 0.5f)), expected(1.0f, 0.5f));
    unpacked.finish(&server);
    EXPECT_NE(installed.read_log().value_or("").find(startup), std::string::npos);
    EXPECT_FALSE(unpacked.dir.read_log().has_value());
}

struct SettingsCase {
    const char *name = "";
    std::optional<std::string> ini{};                 // the settings file's bytes
    std::function<void(const TempPluginDir &)> lay{}; // or something else at its path
    std::string host = "127.0.0.1";
    int port = 8890;
    int enabled = 1;
    bool non_ascii = false; // a Cyrillic folder
    bool file = true;       // a log file is written
    size_t read_bytes = 0;  // a file cut at 64 KiB: what was read of it
};

void PrintTo(const SettingsCase &c, std::ostream *out) {
    *out << c.name;
}

std::filesystem::path fs_path(const std::string &utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::vector<SettingsCase> settings_cases() {
    std::mt19937 rng(7);
    std::string noise(60 * 1024, '\0');
    for (char &c : noise)
        c = static_cast<char>(rng() & 0xFF);
    return {
        {.name = "MissingFile"},
            {.name = "DirectoryInItsPlace",
             .lay =
                 [](const TempPluginDir &dir) {
                     std::filesystem::create_directory(fs_path(dir.ini_path()));
                 }},
            {.name = "EmptyFile", .ini = ""},
            // Noise with NULs and stray line ends; a line after it still counts.
            {.name = "BinaryFile", .ini = noise + "\nserver_port=4321\n", .port = 4321},
            // Only the whole lines within the first 64 KiB are read, which
            // the file log says: the first line counts, the last not.
            {.name = "TenMegabytes",
             .lay =
                 [](const TempPluginDir &dir) {
                     std::string text = "enabled=0\napi_key=" + kKey + "\n";
                     while (text.size() < 10 * 1024 * 1024)
                         text += "# " + std::string(97, 'c') + "\n";
                     dir.write_ini(text + "server_port=4444\n");
                 },
             .enabled = 0,
             .read_bytes = 41 + (65536 - 41) / 100 * 100},
#if !defined(_WIN32)
            // Special files never block start-up: they are not read at all.
            {.name = "FifoInItsPlace",
             .lay = [](const TempPluginDir &dir) { ASSERT_EQ(mkfifo(dir.ini_path().c_str(), 0600), 0); }},
            {.name = "LinkToDevZero",
             .lay =
                 [](const TempPluginDir &dir) {
                     std::filesystem::create_symlink("/dev/zero", fs_path(dir.ini_path()));
                 }},
#endif
            // Read 1023 bytes at a time: 255 characters of the first piece are
            // kept, and the second piece of the next line is a line of its own
            // that sets the port.
            {.name = "LinesOf5000Characters",
             .ini = "server_host=" + std::string(4988, 'h') + "\napi_key=" + std::string(1015, 'k') +
                    "server_port=5555" + std::string(3961, 'z') + "\n",
             .host = std::string(255, 'h'),
             .port = 5555},
            // The mark's bytes are not whitespace: the first key is not recognised.
            {.name = "ByteOrderMark", .ini = "\xEF\xBB\xBFserver_port=1111\nenabled=0\n", .enabled = 0},
            {.name = "CrLfLineEnds",
             .ini = "server_port=2222\r\nenabled=off\r\nserver_host=crlf.test\r\napi_key=" + kKey + "\r\n",
             .host = "crlf.test",
             .port = 2222,
             .enabled = 0},
            // The settings file is found, and the path is shown as UTF-8.
            {.name = "CyrillicFolder", .ini = "server_port=9300\n", .port = 9300, .non_ascii = true},
            // The host still hears the start-up line.
            {.name = "DebugLogOff", .ini = "debug_log=0\n", .file = false},
    };
}

class SettingsFaults : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(SettingsFaults, StartUpCompletesWithWhatCouldBeRead) {
    const SettingsCase &c = GetParam();
    Plugin p(c.ini, c.non_ascii);
    if (c.lay) c.lay(p.dir);
    ASSERT_TRUE(p.host.start());
    p.finish();
    const std::string line = startup_line(p, c.host, c.port, c.enabled);
    EXPECT_EQ(p.host.log_lines(), std::vector<std::string>{line});
    std::vector<std::string> file_lines{unprefixed(line)};
    if (c.read_bytes != 0)
        file_lines.insert(file_lines.begin(), "settings_file_cut path=" + p.dir.ini_path() +
                                                  " read_bytes=" + std::to_string(c.read_bytes));
    EXPECT_EQ(p.log(), c.file ? file_lines : kNone);
    EXPECT_EQ(p.dir.read_log().has_value(), c.file);
    EXPECT_EQ(p.dir.read_log().value_or("").find("kkkkkkkk"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Files, SettingsFaults, ::testing::ValuesIn(settings_cases()),
                         [](const ::testing::TestParamInfo<SettingsCase> &info) { return info.param.name; });

} // namespace
} // namespace mvtest
