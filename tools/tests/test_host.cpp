// The simulator's host keeps the host's rules and reports a plugin that
// breaks them.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/args.h"
#include "sim/host.h"
#include "sim/view.h"

namespace mvtools {
namespace {

bool mentions(const std::vector<std::string> &lines, const std::string &text) {
    for (const std::string &l : lines)
        if (l.find(text) != std::string::npos) return true;
    return false;
}

TEST(SimHost, CatchesAPluginThatBreaksTheRules) {
    SimHost host;
    std::string error;
    ASSERT_TRUE(host.load(MV_BAD_PLUGIN, &error)) << error;
    EXPECT_EQ(host.info().name, "Bad plugin");
    EXPECT_FALSE(host.missing().empty()); // it exports only a few of the functions
    host.start(7);
    host.join(1, 1, {{1, "VC-Me", "abc"}, {2, "VC-Other", ""}});
    // The audio callback on a thread of its own; its API call waits for us.
    std::atomic<bool> done{false};
    std::thread audio([&] {
        host.mark_audio_thread();
        float buf[4] = {};
        host.fn().onAudioSourceFetched(buf, 2, 2, 48000, true, 2);
        done.store(true);
    });
    while (!done.load())
        host.serve();
    audio.join();
    EXPECT_EQ(host.take_log(), std::vector<std::string>{"called from the audio path"});
    host.stop();
    const auto v = host.violations();
    EXPECT_TRUE(mentions(v, "released twice"));
    EXPECT_TRUE(mentions(v, "never released: string 'VC-Me'"));
    EXPECT_TRUE(mentions(v, "from the audio thread"));
}

TEST(SimHost, RefusesALibraryThatIsNoPlugin) {
    SimHost host;
    std::string error;
    EXPECT_FALSE(host.load("/nonexistent/libnothing.so", &error));
    EXPECT_FALSE(error.empty());
}

TEST(Args, ReadsOptionsFlagsAndStrays) {
    const char *argv[] = {"prog",      "--port", "9",     "--demo", "--key=a=b", "--speaker", "A",
                          "--speaker", "B",      "stray", "--rate", "fast",      "--unknown", "x"};
    Args args(14, const_cast<char **>(argv), {"demo"});
    EXPECT_TRUE(args.flag("demo"));
    EXPECT_FALSE(args.flag("help"));
    EXPECT_EQ(args.number("port", 1), 9);
    EXPECT_EQ(args.text("key"), "a=b");
    EXPECT_EQ(args.all("speaker"), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(args.text("missing", "fallback"), "fallback");
    EXPECT_TRUE(args.error().empty());
    EXPECT_EQ(args.number("rate", 10), 10);
    EXPECT_NE(args.error().find("--rate needs a number"), std::string::npos);
    EXPECT_EQ(args.unused(), (std::vector<std::string>{"stray", "--unknown"}));
}

TEST(View, PanBarPutsTheMarkerWhereTheVoiceIs) {
    const std::pair<double, std::string> cases[] = {
        {-1, "L O----|----- R"},  {0, "L -----O----- R"},  {1, "L -----|----O R"},
        {0.5, "L -----|--O-- R"}, {-7, "L O----|----- R"},
    };
    for (const auto &[pan, bar] : cases)
        EXPECT_EQ(pan_bar(pan, 11), bar) << pan;
}

} // namespace
} // namespace mvtools
