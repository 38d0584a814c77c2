// The host simulator with the real plugin against the falloff server product:
// what it measures must be what the server sent, and a refused proof must be
// explained while everyone stays silent. And its click measure.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "falloff/script_server.h"
#include "host/plugin_dir.h"
#include "server/log.h"
#include "server/server.h"
#include "sim/simulation.h"

namespace mvtools {
namespace {

const std::string kHash = "3f1a9c0e5b7d2468ace13579bdf02468ace13579";

// The server with a scenario, on a thread of its own while it lives.
class ScenarioServer {
  public:
    ScenarioServer() {
        mvserver::ServerConfig c;
        c.port = 0;
        c.key = "K";
        c.ping_sec = 0.2;
        c.handle_signals = false;
        c.rules = {2, 12, mvserver::Model::linear, 1};
        mvserver::Scenario s;
        std::string error;
        EXPECT_TRUE(mvserver::parse_scenario(
            "wall -1 -1 -1 1 0.6\nat 0 VC-Me 0 0\nat 0 VC-Right 5 0\nat 0 VC-Left -7 0\n", &s, &error));
        c.scenario = std::move(s);
        mvserver::World world(12);
        world.upsert("VC-Me", kHash, std::nullopt);
        server_ = std::make_unique<mvserver::Server>(std::move(c), std::move(world), log_);
    }
    ~ScenarioServer() {
        if (!thread_.joinable()) return;
        server_->stop();
        thread_.join();
    }
    bool start(std::string *error) {
        if (!server_->open(error)) return false;
        thread_ = std::thread([this] { server_->run(); });
        return true;
    }
    [[nodiscard]] uint16_t port() const { return server_->port(); }

  private:
    mvserver::Log log_{nullptr, ""};
    std::unique_ptr<mvserver::Server> server_;
    std::thread thread_;
};

class HostSimulator : public testing::Test {
  protected:
    // Runs audio blocks on this thread until done() holds; the deadline only
    // ends a hang.
    // port: another falloff server's, instead of the reference server's.
    bool run(const std::string &hash, const std::function<bool(const Snapshot &)> &done, uint16_t port = 0) {
        std::string error;
        EXPECT_TRUE(server_.start(&error)) << error;
        sim_ = std::make_unique<Simulation>(
            SimConfig{.plugin_path = dir_.library_path(),
                      .workdir = dir_.dir(),
                      .server_port = port != 0 ? port : server_.port(),
                      .api_key = "K",
                      .local = {"VC-Me", hash},
                      .speakers = {{"VC-Right", ""}, {"VC-Left", ""}, {"VC-Absent", ""}}});
        EXPECT_TRUE(sim_->start(&error)) << error;
        for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
             std::chrono::steady_clock::now() < until;) {
            sim_->run_block();
            if (done(sim_->snapshot())) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    ScenarioServer server_;
    mvhost::TempPluginDir dir_{MV_PLUGIN_LIBRARY};
    std::unique_ptr<Simulation> sim_;
};

bool heard(const SpeakerRow &r, double gain, double pan, double muffle) {
    return !r.heard.silent && std::abs(r.heard.gain - gain) < 1e-3 && std::abs(r.heard.pan - pan) < 1e-3 &&
           std::abs(r.heard.muffle - muffle) < 5e-3 && r.sent && std::abs(r.sent->muffle - muffle) < 1e-4;
}

// VC-Left stands behind a wall.
TEST_F(HostSimulator, HearsWhatTheFalloffServerSends) {
    EXPECT_TRUE(run(kHash, [](const Snapshot &s) {
        return heard(s.rows[0], 0.7, 1.0, 0) && heard(s.rows[1], 0.5, -1.0, 0.6) && s.pings_answered > 0;
    }));
    const Snapshot s = sim_->snapshot();
    EXPECT_TRUE(s.rows[2].heard.silent) << "a speaker the server never names is silent";
    EXPECT_EQ((std::array{s.accepted, s.rejected, s.bad_entries}), (std::array<size_t, 3>{1, 0, 0}));
    sim_->finish();
    EXPECT_EQ(sim_->host()->contract_violations(), std::vector<std::string>{});
}

// A server that puts VC-Right on the radio (the reference server has no radio
// yet): shown as sent, and measured from the sound.
TEST_F(HostSimulator, MeasuresTheRadio) {
    mvfalloff::ScriptServer radio(
        {mvfalloff::Step::handshake({"K", "VC-Me", "t0k3n", "", "OK\n"}),
         mvfalloff::Step::send_line("UPDATE3 VC-Right 1 0.5 0 1, VC-Left 0.5 -1 0.6 0")});
    const auto on_air = [](const SpeakerRow &r, double radio) {
        return !r.heard.silent && std::abs(r.heard.radio - radio) < 0.2 && r.sent &&
               r.sent->radio == static_cast<float>(radio);
    };
    EXPECT_TRUE(run(
        kHash, [&](const Snapshot &s) { return on_air(s.rows[0], 1.0) && on_air(s.rows[1], 0.0); },
        radio.port()));
    const Snapshot s = sim_->snapshot();
    EXPECT_NEAR(s.rows[0].heard.radio, 1.0, 0.2);
    EXPECT_NEAR(s.rows[1].heard.radio, 0.0, 0.2);
    sim_->finish();
}

TEST_F(HostSimulator, ExplainsARefusedProofAndKeepsEveryoneSilent) {
    EXPECT_TRUE(run(std::string(40, '0'), [](const Snapshot &s) { return s.rejected > 0; }));
    for (const SpeakerRow &r : sim_->snapshot().rows)
        EXPECT_TRUE(r.heard.silent) << r.alias;
    sim_->finish();
    std::string events; // the plugin's proof is right for the hash it was given
    for (const WireEvent &e : sim_->all_events())
        events += e.text + "\n";
    EXPECT_NE(events.find("proof rejected although the proof was right"), std::string::npos) << events;
}

TEST(ClickMeter, ASteppedMultiplierClicksAndARampDoesNot) {
    double mean_db[2] = {};
    for (const uint32_t ramp : {0u, 960u}) { // the gain halves at the second block, at once or over 20 ms
        ClickMeter clicks;
        Voice voice(0);
        std::vector<float> block(960 * 2);
        for (uint32_t b = 0; b < 3; ++b) {
            voice.render(block.data(), 960);
            for (uint32_t i = 0; i < 1920 && b > 0; ++i)
                block[i] *=
                    static_cast<float>(b > 1 ? 0.5 : 1 - 0.5 * std::min(1.0, (i / 2 + 1.0) / (ramp + 1)));
            clicks.add(block.data(), 960, b == 1);
        }
        mean_db[ramp > 0] = clicks.result().mean_db;
    }
    EXPECT_GT(mean_db[0], mean_db[1] + 20) << mean_db[0] << " vs " << mean_db[1];
}

} // namespace
} // namespace mvtools
