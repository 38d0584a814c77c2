// The host simulator with the real plugin against the reference server: what
// it measures must be what the server sent, and a refused proof must be
// explained while everyone stays silent.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "falloff/reference_server.h"
#include "host/plugin_dir.h"
#include "sim/simulation.h"

namespace mvtools {
namespace {

const std::string kHash = "3f1a9c0e5b7d2468ace13579bdf02468ace13579";

class HostSimulator : public testing::Test {
  protected:
    void SetUp() override {
        mvfalloff::ReferenceConfig c;
        c.port = 0;
        c.roster = {"K", {{"VC-Me", kHash}}};
        c.ping_sec = 0.2;
        std::string error;
        ASSERT_TRUE(parse_scenario("falloff 2 12\nat 0 VC-Me 0 0\nat 0 VC-Right 5 0\nat 0 VC-Left -7 0\n",
                                   &c.scenario, &error));
        server_ = std::make_unique<mvfalloff::ReferenceServer>(std::move(c), log_);
        ASSERT_TRUE(server_->start(&error)) << error;
    }

    // Runs audio blocks on this thread until done() holds; the deadline only
    // ends a hang.
    bool run(const std::string &hash, const std::function<bool(const Snapshot &)> &done) {
        SimConfig c;
        c.plugin_path = dir_.library_path();
        c.workdir = dir_.dir();
        c.server_port = server_->port();
        c.api_key = "K";
        c.local = {"VC-Me", hash};
        c.speakers = {{"VC-Right", ""}, {"VC-Left", ""}, {"VC-Absent", ""}};
        sim_ = std::make_unique<Simulation>(c);
        std::string error;
        EXPECT_TRUE(sim_->start(&error)) << error;
        for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
             std::chrono::steady_clock::now() < until;) {
            sim_->run_block();
            if (done(sim_->snapshot())) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    Logger log_{nullptr, ""};
    std::unique_ptr<mvfalloff::ReferenceServer> server_;
    mvhost::TempPluginDir dir_{MV_PLUGIN_LIBRARY};
    std::unique_ptr<Simulation> sim_;
};

bool heard(const SpeakerRow &r, double gain, double pan) {
    return !r.heard.silent && std::abs(r.heard.gain - gain) < 1e-3 && std::abs(r.heard.pan - pan) < 1e-3;
}

TEST_F(HostSimulator, HearsWhatTheReferenceServerSends) {
    EXPECT_TRUE(run(kHash, [](const Snapshot &s) {
        return heard(s.rows[0], 0.7, 1.0) && heard(s.rows[1], 0.5, -1.0) && s.pings_answered > 0;
    }));
    const Snapshot s = sim_->snapshot();
    EXPECT_TRUE(s.rows[2].heard.silent) << "a speaker the server never names is silent";
    EXPECT_EQ((std::array{s.accepted, s.rejected, s.bad_entries}), (std::array<size_t, 3>{1, 0, 0}));
    sim_->finish();
    EXPECT_EQ(sim_->host()->contract_violations(), std::vector<std::string>{});
    EXPECT_TRUE(dir_.read_log());
}

TEST_F(HostSimulator, ExplainsARefusedProofAndKeepsEveryoneSilent) {
    EXPECT_TRUE(run(std::string(40, '0'), [](const Snapshot &s) { return s.rejected > 0; }));
    for (const SpeakerRow &r : sim_->snapshot().rows)
        EXPECT_TRUE(r.heard.silent) << r.alias;
    sim_->finish();
    bool explained = false; // the plugin's proof is right for the hash it was given
    for (const WireEvent &e : sim_->all_events())
        explained =
            explained || e.text.find("proof rejected although the proof was right") != std::string::npos;
    EXPECT_TRUE(explained);
}

} // namespace
} // namespace mvtools
