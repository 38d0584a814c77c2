// The plugin's spine as the host sees it: the exports and metadata, where the
// start-up line goes depending on registration, start-up after shut-down, and
// the audio callbacks outside the plugin's lifetime.
#include <gtest/gtest.h>

#include <cstring>

#include "session.h"

namespace mvtest {
namespace {

using mvhost::PluginExports;

std::string startup_line(const Plugin &p, const std::string &host = "127.0.0.1", int port = 8890,
                         int enabled = 1) {
    return "[marlpike_voice] loaded version=0.5.4 config=" + p.dir.ini_path() + " host=" + host +
           " port=" + std::to_string(port) + " enabled=" + std::to_string(enabled);
}

std::string unprefixed(const std::string &line) {
    return line.substr(line.find("] ") + 2);
}

TEST(Spine, Metadata) {
    Plugin p(std::nullopt);
    ASSERT_EQ(p.host.missing_exports(), kNone);
    const PluginExports &x = p.host.plugin();
    const struct {
        mvhost::Version (*PluginExports::*fn)();
        mvhost::Version want;
    } versions[] = {{&PluginExports::getPluginFunctionsVersion, {1, 1, 0}},
                    {&PluginExports::getAPIVersion, {1, 2, 0}},
                    {&PluginExports::getVersion, {0, 5, 4}}};
    for (const auto &c : versions) {
        const mvhost::Version got = (x.*c.fn)();
        EXPECT_EQ(std::vector<int>({got.major, got.minor, got.patch}),
                  std::vector<int>({c.want.major, c.want.minor, c.want.patch}));
    }
    const struct {
        mvhost::StringWrapper (*PluginExports::*fn)();
        std::string want;
    } texts[] = {
        {&PluginExports::getName, "Marlpike Voice - Spatial Audio"},
        {&PluginExports::getAuthor, "Fenwright"},
        {&PluginExports::getDescription, "Marlpike server-authoritative spatial voice for Saltmarsh Ridge."},
        {&PluginExports::getUpdateDownloadURL, ""}};
    for (const auto &c : texts) {
        SCOPED_TRACE(c.want);
        const mvhost::StringWrapper got = (x.*c.fn)();
        ASSERT_NE(got.data, nullptr);
        EXPECT_EQ(got.size, c.want.size());
        EXPECT_EQ(std::string(got.data), c.want); // NUL-terminated at size
        EXPECT_FALSE(got.needsReleasing);
    }
    EXPECT_EQ(x.getFeatures(), 2u);
    EXPECT_EQ(x.deactivateFeatures(2), 0u);
    EXPECT_EQ(x.deactivateFeatures(0xFFFFFFFFu), 0u);
    EXPECT_FALSE(x.hasUpdate());
    x.releaseResource(nullptr); // nothing the plugin returns needs releasing
}

// The start-up line always reaches the file; the host's log only once a real
// table was registered, whenever that was. A null table changes nothing.
TEST(Spine, RegistrationDecidesWhereTheStartupLineGoes) {
    enum class Register { before_init, after_init, null_only, null_after_real };
    for (const Register r :
         {Register::before_init, Register::after_init, Register::null_only, Register::null_after_real}) {
        SCOPED_TRACE(static_cast<int>(r));
        Plugin p(std::nullopt);
        if (r == Register::before_init || r == Register::null_after_real) p.host.register_api();
        if (r == Register::null_only || r == Register::null_after_real)
            p.host.plugin().registerAPIFunctions(nullptr);
        ASSERT_EQ(p.host.init(), 0);
        const std::string line = startup_line(p);
        const bool registered = r == Register::before_init || r == Register::null_after_real;
        EXPECT_EQ(p.host.log_lines(), registered ? std::vector<std::string>{line} : kNone);
        EXPECT_EQ(p.log(), std::vector<std::string>{unprefixed(line)});
        if (r == Register::after_init) {
            p.host.register_api();
            EXPECT_EQ(p.host.log_lines(), kNone); // registering logs nothing
            // The registration outlives shutdown; the second start-up line is appended.
            p.host.shutdown();
            ASSERT_EQ(p.host.init(), 0);
            EXPECT_EQ(p.host.log_lines(), std::vector<std::string>{line});
            EXPECT_EQ(p.log(), std::vector<std::string>(2, unprefixed(line)));
        }
        p.finish();
    }
}

TEST(Spine, InitAfterShutdownStartsOverFromDefaultsAndRereadsTheFile) {
    Plugin p("server_host=falloff.invalid\nserver_port=9001\nenabled=0\n");
    ASSERT_TRUE(p.host.start());
    p.host.shutdown();
    // Only the port is set now: host and enabled must fall back to defaults.
    p.dir.write_ini("server_port=9002\n");
    ASSERT_TRUE(p.host.start());
    const std::vector<std::string> want{startup_line(p, "falloff.invalid", 9001, 0),
                                        startup_line(p, "127.0.0.1", 9002)};
    EXPECT_EQ(p.host.log_lines(), want);
    EXPECT_EQ(p.log(), (std::vector<std::string>{unprefixed(want[0]), unprefixed(want[1])}));
    p.finish();
}

// Speech is left alone outside init..shutdown; the microphone and the mixed
// output always.
TEST(Spine, AudioOutsideThePluginsLifetimeIsLeftUntouched) {
    Plugin p(std::nullopt);
    const PluginExports &x = p.host.plugin();
    const auto check_all = [&x](const char *when, bool speech) {
        SCOPED_TRACE(when);
        const struct {
            uint32_t frames;
            uint16_t channels;
        } shapes[] = {{960, 2}, {1, 2}, {441, 1}, {1920, 2}, {600, 6}};
        for (const auto &s : shapes) {
            const size_t n = size_t{s.frames} * s.channels;
            std::vector<float> pattern(n);
            std::vector<int16_t> mic(n);
            for (size_t i = 0; i < n; ++i) {
                pattern[i] = 0.25f + static_cast<float>(i % 17) * 0.03125f;
                mic[i] = static_cast<int16_t>(i * 37 - 9000);
            }
            std::vector<float> speech_buffer = pattern, out = pattern;
            const std::vector<int16_t> mic_before = mic;
            EXPECT_FALSE(speech &&
                         x.onAudioSourceFetched(speech_buffer.data(), s.frames, s.channels, 48000, true, 5));
            EXPECT_FALSE(x.onAudioInput(mic.data(), s.frames, s.channels, 48000, true));
            EXPECT_FALSE(x.onAudioOutputAboutToPlay(out.data(), s.frames, s.channels, 48000));
            EXPECT_EQ(speech_buffer, pattern);
            EXPECT_EQ(out, pattern);
            EXPECT_EQ(mic, mic_before);
        }
    };
    check_all("before init", true);
    ASSERT_TRUE(p.host.start());
    check_all("while initialised", false);
    p.host.shutdown();
    check_all("after shutdown", true);
}

} // namespace
} // namespace mvtest
