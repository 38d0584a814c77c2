// The plugin's spine as the host sees it: the exports, metadata, start-up and
// shut-down, registration of the API table, the start-up line in both logs,
// and the audio callbacks outside the plugin's lifetime.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fake_host.h"
#include "log_file.h"
#include "plugin_library.h"

namespace mvtest {
namespace {

constexpr const char *kHostPrefix = "[marlpike_voice] ";

std::string startup_line(const TempPluginDir &dir, const std::string &host = "127.0.0.1", int port = 8890,
                         int enabled = 1) {
    return "loaded version=0.5.4 config=" + dir.ini_path() + " host=" + host +
           " port=" + std::to_string(port) + " enabled=" + std::to_string(enabled);
}

std::vector<std::string> prefixed(std::vector<std::string> messages) {
    for (std::string &m : messages)
        m = kHostPrefix + m;
    return messages;
}

class Spine : public ::testing::Test {
  protected:
    std::unique_ptr<TempPluginDir> dir_;
    std::unique_ptr<FakeHost> host_;

    // A fresh copy of the library in its own directory, loaded as the host does.
    FakeHost &open(bool non_ascii = false, std::optional<std::string> ini = std::nullopt) {
        close();
        dir_ = std::make_unique<TempPluginDir>(non_ascii);
        if (ini) dir_->write_ini(*ini);
        host_ = std::make_unique<FakeHost>(dir_->library_path());
        EXPECT_TRUE(host_->loaded()) << host_->load_error();
        EXPECT_EQ(host_->missing_exports(), std::vector<std::string>{});
        return *host_;
    }

    // Unloads (shutting down first if needed) and checks the API contract.
    void close() {
        if (host_) {
            host_->unload();
            EXPECT_EQ(host_->contract_violations(), std::vector<std::string>{});
        }
        host_.reset();
        dir_.reset();
    }

    void TearDown() override { close(); }

    // The order in which the host brings a plugin up.
    void start(FakeHost &host) {
        host.plugin().setMumbleInfo({1, 5, 0}, {1, 2, 0}, {1, 0, 0});
        host.register_api();
        EXPECT_EQ(host.init(), 0);
    }
};

TEST_F(Spine, Metadata) {
    FakeHost &host = open();
    ASSERT_TRUE(host.missing_exports().empty());
    const PluginExports &p = host.plugin();

    struct VersionCase {
        const char *what;
        MumbleVersion (MV_CALL *PluginExports::*fn)();
        MumbleVersion want;
    };
    for (const VersionCase &c :
         {VersionCase{"plugin functions", &PluginExports::getPluginFunctionsVersion, {1, 1, 0}},
          VersionCase{"API", &PluginExports::getAPIVersion, {1, 2, 0}},
          VersionCase{"plugin", &PluginExports::getVersion, {0, 5, 4}}}) {
        SCOPED_TRACE(c.what);
        const MumbleVersion got = (p.*c.fn)();
        EXPECT_EQ(got.major, c.want.major);
        EXPECT_EQ(got.minor, c.want.minor);
        EXPECT_EQ(got.patch, c.want.patch);
    }

    struct StringCase {
        const char *what;
        MumbleStringWrapper (MV_CALL *PluginExports::*fn)();
        std::string want;
        size_t size;
    };
    for (const StringCase &c :
         {StringCase{"name", &PluginExports::getName, "Marlpike Voice - Spatial Audio", 30},
          StringCase{"author", &PluginExports::getAuthor, "Fenwright", 9},
          StringCase{"description", &PluginExports::getDescription,
                     "Marlpike server-authoritative spatial voice for Saltmarsh Ridge.", 64},
          StringCase{"update URL", &PluginExports::getUpdateDownloadURL, "", 0}}) {
        SCOPED_TRACE(c.what);
        const MumbleStringWrapper got = (p.*c.fn)();
        ASSERT_NE(got.data, nullptr);
        EXPECT_EQ(got.size, c.size);
        EXPECT_EQ(std::strlen(got.data), got.size); // NUL-terminated at size
        EXPECT_EQ(std::string(got.data), c.want);
        EXPECT_FALSE(got.needsReleasing);
    }

    EXPECT_EQ(p.getFeatures(), 2u);
    EXPECT_EQ(p.deactivateFeatures(2), 0u);
    EXPECT_EQ(p.deactivateFeatures(0xFFFFFFFFu), 0u);
    EXPECT_FALSE(p.hasUpdate());
    p.releaseResource(nullptr); // nothing the plugin returns needs releasing
}

// The start-up line always reaches the file; the host's log only once a real
// table was registered, whenever that was. A null table changes nothing.
TEST_F(Spine, RegistrationDecidesWhereTheStartupLineGoes) {
    enum class Register { before_init, after_init, null_only, null_after_real };
    for (Register r :
         {Register::before_init, Register::after_init, Register::null_only, Register::null_after_real}) {
        SCOPED_TRACE(static_cast<int>(r));
        FakeHost &host = open();
        if (r == Register::before_init || r == Register::null_after_real) host.register_api();
        if (r == Register::null_only || r == Register::null_after_real)
            host.plugin().registerAPIFunctions(nullptr);
        ASSERT_EQ(host.init(), 0);
        const std::string line = startup_line(*dir_);
        const bool registered = r == Register::before_init || r == Register::null_after_real;
        EXPECT_EQ(host.log_lines(), registered ? prefixed({line}) : std::vector<std::string>{});
        EXPECT_EQ(log_messages(*dir_), std::vector<std::string>{line});
        if (r == Register::after_init) {
            host.register_api();
            EXPECT_EQ(host.log_lines(), std::vector<std::string>{}); // registering logs nothing
            // The registration outlives shutdown; the second start-up line is appended.
            host.shutdown();
            ASSERT_EQ(host.init(), 0);
            EXPECT_EQ(host.log_lines(), prefixed({line}));
            EXPECT_EQ(log_messages(*dir_), (std::vector<std::string>{line, line}));
        }
        close();
    }
}

TEST_F(Spine, InitAfterShutdownStartsOverFromDefaultsAndRereadsTheFile) {
    FakeHost &host = open(false, "server_host=falloff.invalid\nserver_port=9001\nenabled=0\n");
    start(host);
    host.shutdown();
    // Only the port is set now: host and enabled must fall back to defaults.
    dir_->write_ini("server_port=9002\n");
    ASSERT_EQ(host.init(), 0);
    const std::vector<std::string> want{startup_line(*dir_, "falloff.invalid", 9001, 0),
                                        startup_line(*dir_, "127.0.0.1", 9002, 1)};
    EXPECT_EQ(host.log_lines(), prefixed(want));
    EXPECT_EQ(log_messages(*dir_), want);
}

TEST_F(Spine, DebugLogOffCreatesNoFileButTheHostStillHearsStartup) {
    FakeHost &host = open(false, "debug_log=0\n");
    start(host);
    host.shutdown();
    EXPECT_EQ(host.log_lines(), prefixed({startup_line(*dir_)}));
    EXPECT_FALSE(dir_->read_log().has_value());
}

TEST_F(Spine, DirectoryWithCyrillicName) {
    FakeHost &host = open(true, "server_port=9300\n");
    ASSERT_NE(dir_->dir().find("\xD0\xBF\xD0\xBB\xD0\xB0\xD0\xB3\xD0\xB8\xD0\xBD"), std::string::npos);
    start(host);
    // The settings file was found (port) and the path is shown as UTF-8.
    const std::string line = startup_line(*dir_, "127.0.0.1", 9300, 1);
    EXPECT_EQ(host.log_lines(), prefixed({line}));
    EXPECT_EQ(log_messages(*dir_), std::vector<std::string>{line});
}

// A recognisable pattern, so that any change to the buffer shows.
std::vector<float> pattern(size_t n) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = 0.25f + static_cast<float>(i % 17) * 0.03125f;
    return v;
}

struct AudioShape {
    uint32_t frames;
    uint16_t channels;
};
constexpr AudioShape kShapes[] = {{960, 2}, {1, 2}, {441, 1}, {1920, 2}, {600, 6}};

// Speech is left alone outside init..shutdown; the microphone and the mixed
// output always.
TEST_F(Spine, AudioOutsideThePluginsLifetimeIsLeftUntouched) {
    FakeHost &host = open();
    const PluginExports &p = host.plugin();
    const auto check_all = [&p](const char *when, bool speech) {
        SCOPED_TRACE(when);
        for (const AudioShape &s : kShapes) {
            const size_t n = size_t{s.frames} * s.channels;
            std::vector<float> buffer = pattern(n), out = pattern(n);
            std::vector<int16_t> mic(n);
            for (size_t i = 0; i < n; ++i)
                mic[i] = static_cast<int16_t>(i * 37 - 9000);
            const std::vector<int16_t> mic_before = mic;
            if (speech) {
                EXPECT_FALSE(p.onAudioSourceFetched(buffer.data(), s.frames, s.channels, 48000, true, 5));
            }
            EXPECT_FALSE(p.onAudioInput(mic.data(), s.frames, s.channels, 48000, true));
            EXPECT_FALSE(p.onAudioOutputAboutToPlay(out.data(), s.frames, s.channels, 48000));
            EXPECT_EQ(buffer, pattern(n));
            EXPECT_EQ(out, pattern(n));
            EXPECT_EQ(mic, mic_before);
        }
    };
    check_all("before init", true);
    start(host);
    check_all("while initialised", false);
    host.shutdown();
    check_all("after shutdown", true);
}

} // namespace
} // namespace mvtest
