// The whole system as a studio runs it: the falloff server fed through its
// control port as a game feeds it, and the real plugin loaded by the host
// stand-in, linked to that server. Each speaker's audio through the plugin's
// callback must come out with the gain and pan that the rules' formulas,
// written out again here, give for where everyone stands; muffled behind a
// wall; silent beyond a whisper's range.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "host/plugin_dir.h"
#include "net/net.h"
#include "server/log.h"
#include "server/server.h"
#include "sim/simulation.h"

namespace mvtools {
namespace {

constexpr double kPi = 3.14159265358979323846;
const std::string kHash = "3f1a9c0e5b7d2468ace13579bdf02468ace13579";

// The listener stands at (10, -5, 0) facing east; a wall of muffle 0.6 runs
// north-south at x = 8, behind it.
constexpr double kX = 10, kY = -5, kHeading = 90;
constexpr double kNear = 2, kFar = 20, kRolloff = 1.5; // the inverse model

struct Speaker {
    const char *alias;
    double x, y, z;
    double range; // metres; the default is kFar
    double muffle;
};
const Speaker kSpeakers[] = {
    {"VC-North", 10, 1, 0, kFar, 0},    // 6 m to the listener's left
    {"VC-Above", 13, -1, 2.5, kFar, 0}, // ahead and to the left, a floor up
    {"VC-Walled", 6, -6, 0, kFar, 0.6}, // behind, beyond the wall
    {"VC-Shout", 22, -5, 0, 40, 0},     // 12 m ahead, carrying 40 m
    {"VC-Whisper", 10, -9, 0, 3.5, 0},  // 4 m away, carrying 3.5 m: silent
};

double expected_gain(const Speaker &s) {
    const double d = std::sqrt(std::pow(s.x - kX, 2) + std::pow(s.y - kY, 2) + s.z * s.z);
    const double n = kNear * s.range / kFar;
    return d >= s.range ? 0 : d <= n ? 1 : n / (n + kRolloff * (d - n));
}

double expected_pan(const Speaker &s) {
    return std::sin(std::atan2(s.x - kX, s.y - kY) - kHeading * kPi / 180);
}

std::string fixed(double v) {
    return std::to_string(v);
}

TEST(EndToEnd, ThePluginAppliesWhatTheRulesGiveForWhereEveryoneStands) {
    mvserver::ServerConfig c;
    c.port = 0;
    c.control_port = 0;
    c.key = "K";
    c.rules = {kNear, kFar, mvserver::Model::inverse, kRolloff};
    c.ping_sec = 0;
    c.stale_sec = 0;
    c.handle_signals = false;
    mvserver::Log log(nullptr, "");
    mvserver::Server server(std::move(c), mvserver::World(kFar), log);
    std::string error;
    ASSERT_TRUE(server.open(&error)) << error;
    std::thread serving([&] { server.run(); });

    // The game's lines, then a sync: once OK comes back, every line is applied.
    std::string lines = "player VC-Me " + kHash + "\npos VC-Me " + fixed(kX) + " " + fixed(kY) + " 0 " +
                        fixed(kHeading) + "\nwall w 8 -20 8 20 0.6\n";
    SimConfig config;
    config.api_key = "K";
    config.local = {"VC-Me", kHash};
    for (const Speaker &s : kSpeakers) {
        const std::string alias = s.alias;
        lines += "player " + alias + " hash-of-" + alias + "\npos " + alias + " " + fixed(s.x) + " " +
                 fixed(s.y) + " " + fixed(s.z) + " 0\n";
        if (s.range != kFar) lines += "range " + alias + " " + fixed(s.range) + "\n";
        config.speakers.push_back({alias, ""});
    }
    const mvnet::UniqueSocket control(mvnet::connect_tcp("127.0.0.1", server.control_port(), 5000));
    ASSERT_TRUE(mvnet::send_all(control.get(), lines + "sync\n", 5000));
    char answer[64] = {};
    const mvnet::IoResult got = mvnet::receive(control.get(), answer, sizeof answer - 1, 5000);
    EXPECT_EQ(std::string(answer, got.bytes), "OK\n") << "a line was refused";

    mvhost::TempPluginDir dir(MV_PLUGIN_LIBRARY);
    config.plugin_path = dir.library_path();
    config.workdir = dir.dir();
    config.server_port = server.port();
    Simulation sim(config);
    ASSERT_TRUE(sim.start(&error)) << error;
    const auto as_expected = [](const Speaker &s, const SpeakerRow &r) {
        const double gain = expected_gain(s);
        if (gain == 0) return r.heard.silent && !r.sent;
        return !r.heard.silent && std::abs(r.heard.gain - gain) < 2e-3 &&
               std::abs(r.heard.pan - expected_pan(s)) < 2e-3 && std::abs(r.heard.muffle - s.muffle) < 5e-3;
    };
    bool all = false;
    Snapshot snapshot;
    for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         !all && std::chrono::steady_clock::now() < until;) {
        sim.run_block();
        snapshot = sim.snapshot();
        all = snapshot.updates > 0;
        for (size_t i = 0; i < std::size(kSpeakers); ++i)
            all = all && as_expected(kSpeakers[i], snapshot.rows[i]);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (size_t i = 0; i < std::size(kSpeakers); ++i) {
        const Measured &m = snapshot.rows[i].heard;
        EXPECT_TRUE(as_expected(kSpeakers[i], snapshot.rows[i]))
            << kSpeakers[i].alias << " heard gain " << m.gain << " pan " << m.pan << " muffle " << m.muffle
            << (m.silent ? " (silent)" : "") << "; the rules give gain " << expected_gain(kSpeakers[i])
            << " pan " << expected_pan(kSpeakers[i]) << " muffle " << kSpeakers[i].muffle;
    }
    sim.finish();
    EXPECT_EQ(sim.host()->contract_violations(), std::vector<std::string>{});
    server.stop();
    serving.join();
}

} // namespace
} // namespace mvtools
