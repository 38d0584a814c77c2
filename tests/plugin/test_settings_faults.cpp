// Settings files that are not what a user meant to write, and plugin folders
// that are unusual, read by the real library: whatever lies at the settings
// path, start-up completes and the start-up line shows what was taken from it.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <random>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "session.h"

namespace mvtest {
namespace {

struct SettingsCase {
    const char *name = "";
    std::optional<std::string> ini{};                 // the settings file's bytes
    std::function<void(const TempPluginDir &)> lay{}; // or something else at its path
    std::string host = "127.0.0.1";
    int port = 8890;
    int enabled = 1;
    bool non_ascii = false; // a Cyrillic folder
    bool file = true;       // a log file is written
};

void PrintTo(const SettingsCase &c, std::ostream *out) {
    *out << c.name;
}

std::filesystem::path fs_path(const std::string &utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string random_bytes(size_t n) {
    std::mt19937 rng(7);
    std::string out(n, '\0');
    for (char &c : out)
        c = static_cast<char>(rng() & 0xFF);
    return out;
}

std::vector<SettingsCase> cases() {
    return {
        {.name = "MissingFile"},
            {.name = "DirectoryInItsPlace",
             .lay =
                 [](const TempPluginDir &dir) {
                     std::filesystem::create_directory(fs_path(dir.ini_path()));
                 }},
            {.name = "EmptyFile", .ini = ""},
            // Noise with NULs and stray line ends; a line after it still counts.
            {.name = "BinaryFile", .ini = random_bytes(60 * 1024) + "\nserver_port=4321\n", .port = 4321},
            // Only the first 64 KiB are read: the first line counts, the last not.
            {.name = "TenMegabytes",
             .lay =
                 [](const TempPluginDir &dir) {
                     std::string text = "enabled=0\napi_key=" + kKey + "\n";
                     while (text.size() < 10 * 1024 * 1024)
                         text += "# " + std::string(97, 'c') + "\n";
                     dir.write_ini(text + "server_port=4444\n");
                 },
             .enabled = 0},
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
    const std::string line = "loaded version=0.5.4 config=" + p.dir.ini_path() + " host=" + c.host +
                             " port=" + std::to_string(c.port) + " enabled=" + std::to_string(c.enabled);
    EXPECT_EQ(p.host.log_lines(), std::vector<std::string>{"[marlpike_voice] " + line});
    EXPECT_EQ(p.log(), c.file ? std::vector<std::string>{line} : kNone);
    EXPECT_EQ(p.dir.read_log().has_value(), c.file);
    EXPECT_EQ(p.dir.read_log().value_or("").find("kkkkkkkk"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Files, SettingsFaults, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<SettingsCase> &info) { return info.param.name; });

} // namespace
} // namespace mvtest
