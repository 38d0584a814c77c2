// Settings files that are not what a user meant to write, read by the real
// library: whatever lies at the settings path, start-up completes and the
// start-up line shows what was taken from it.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "fake_host.h"
#include "log_file.h"
#include "plugin_library.h"

namespace mvtest {
namespace {

const std::string kApiKey = "sf-key-Vb8Tm5Gx0R";

struct SettingsCase {
    const char *name = "";
    std::function<void(const TempPluginDir &)> lay{}; // puts something at the settings path
    std::string host = "127.0.0.1";
    int port = 8890;
    int enabled = 1;
};

// Test names in CTest show the case's name, not its bytes.
void PrintTo(const SettingsCase &c, std::ostream *out) {
    *out << c.name;
}

std::filesystem::path fs_path(const std::string &utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string out(n, '\0');
    for (char &c : out)
        c = static_cast<char>(rng() & 0xFF);
    return out;
}

std::vector<SettingsCase> cases() {
    return {
        {.name = "MissingFile", .lay = [](const TempPluginDir &) {}},
            {.name = "DirectoryInItsPlace",
             .lay =
                 [](const TempPluginDir &dir) {
                     std::filesystem::create_directory(fs_path(dir.ini_path()));
                 }},
            {.name = "EmptyFile", .lay = [](const TempPluginDir &dir) { dir.write_ini(""); }},
            // Noise with NULs and stray line ends; a line after it still counts.
            {.name = "BinaryFile",
             .lay =
                 [](const TempPluginDir &dir) {
                     dir.write_ini(random_bytes(60 * 1024, 7) + "\nserver_port=4321\n");
                 },
             .port = 4321},
            // Only the first 64 KiB are read: the first line counts, the last not.
            {.name = "TenMegabytes",
             .lay =
                 [](const TempPluginDir &dir) {
                     std::string text = "enabled=0\napi_key=" + kApiKey + "\n";
                     const std::string comment = "# " + std::string(97, 'c') + "\n";
                     while (text.size() < 10 * 1024 * 1024)
                         text += comment;
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
            // Read 1023 bytes at a time: the host keeps 255 characters of the
            // first piece, and the second piece of the next line is a line of its
            // own that sets the port.
            {.name = "LinesOf5000Characters",
             .lay =
                 [](const TempPluginDir &dir) {
                     std::string text = "server_host=" + std::string(4988, 'h') + "\n";
                     text += "api_key=" + std::string(1015, 'k') + "server_port=5555" +
                             std::string(3961, 'z') + "\n";
                     dir.write_ini(text);
                 },
             .host = std::string(255, 'h'),
             .port = 5555},
            // The mark's bytes are not whitespace: the first key is not recognised.
            {.name = "ByteOrderMark",
             .lay =
                 [](const TempPluginDir &dir) { dir.write_ini("\xEF\xBB\xBFserver_port=1111\nenabled=0\n"); },
             .enabled = 0},
            {.name = "CrLfLineEnds",
             .lay =
                 [](const TempPluginDir &dir) {
                     dir.write_ini("server_port=2222\r\nenabled=off\r\nserver_host=crlf.test\r\napi_key=" +
                                   kApiKey + "\r\n");
                 },
             .host = "crlf.test",
             .port = 2222,
             .enabled = 0},
    };
}

class SettingsFaults : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(SettingsFaults, StartUpCompletesWithWhatCouldBeRead) {
    const SettingsCase &c = GetParam();
    TempPluginDir dir;
    c.lay(dir);
    FakeHost host(dir.library_path());
    ASSERT_TRUE(host.loaded()) << host.load_error();
    host.register_api();
    ASSERT_EQ(host.init(), 0);
    host.shutdown();

    const std::string line = "loaded version=0.5.4 config=" + dir.ini_path() + " host=" + c.host +
                             " port=" + std::to_string(c.port) + " enabled=" + std::to_string(c.enabled);
    EXPECT_EQ(host.log_lines(), std::vector<std::string>{"[marlpike_voice] " + line});
    EXPECT_EQ(log_messages(dir), std::vector<std::string>{line});
    const std::string log = dir.read_log().value_or("");
    EXPECT_EQ(log.find(kApiKey), std::string::npos);
    EXPECT_EQ(log.find("kkkkkkkk"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Files, SettingsFaults, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<SettingsCase> &info) { return info.param.name; });

} // namespace
} // namespace mvtest
