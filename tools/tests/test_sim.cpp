// The host simulator with the real plugin library, against the reference
// server and against the tests' scripted falloff server: what it measures
// must be what the server sent, as the plugin tests expect.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "falloff/reference_server.h"
#include "script_server.h"
#include "sim/simulation.h"

namespace mvtools {
namespace {

namespace fs = std::filesystem;

const std::string kHash = "3f1a9c0e5b7d2468ace13579bdf02468ace13579";
const std::string kProof = "c4811aeb157526141597b12d58063672ff10a35c9db4fd3fa9be833ed62d17fb"; // tok-123

struct TempDir {
    TempDir() {
        std::string p = (fs::temp_directory_path() / "marlpike-simtest-XXXXXX").string();
        path = mkdtemp(p.data()) != nullptr ? p : "";
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string path;
};

SimConfig config(uint16_t port, const std::string &workdir) {
    SimConfig c;
    c.plugin_path = MV_PLUGIN_LIBRARY;
    c.workdir = workdir;
    c.server_port = port;
    c.api_key = "K";
    c.reconnect_sec = 1;
    c.local = {"VC-Me", kHash};
    c.speakers = {{"VC-Right", ""}, {"VC-Left", ""}, {"VC-Absent", ""}};
    return c;
}

// Runs audio blocks on this thread (serving the host API between them) until
// done() holds; the deadline only ends a hang.
bool run_until(Simulation &sim, const std::function<bool(const Snapshot &)> &done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < until) {
        sim.serve();
        sim.run_block();
        if (done(sim.snapshot())) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

bool heard(const SpeakerRow &r, double gain, double pan) {
    return !r.heard.silent && std::abs(r.heard.gain - gain) < 1e-3 && std::abs(r.heard.pan - pan) < 1e-3;
}

TEST(HostSimulator, HearsTheReferenceServersScenario) {
    Logger log(nullptr, "");
    mvfalloff::ReferenceConfig sc;
    sc.port = 0;
    sc.roster.key = "K";
    sc.roster.players = {{"VC-Me", kHash}};
    std::string error;
    ASSERT_TRUE(parse_scenario("falloff 2 12\nat 0 VC-Me 0 0\nat 0 VC-Right 5 0\nat 0 VC-Left -7 0\n",
                               &sc.scenario, &error));
    mvfalloff::ReferenceServer server(std::move(sc), log);
    ASSERT_TRUE(server.start(&error)) << error;

    TempDir dir;
    {
        Simulation sim(config(server.port(), dir.path));
        ASSERT_TRUE(sim.start(&error)) << error;
        EXPECT_EQ(sim.plugin_info().api_version.minor, 2);
        const bool ok = run_until(
            sim, [](const Snapshot &s) { return heard(s.rows[0], 0.7, 1.0) && heard(s.rows[1], 0.5, -1.0); });
        const Snapshot s = sim.snapshot();
        EXPECT_TRUE(ok) << "VC-Right " << s.rows[0].heard.gain << "/" << s.rows[0].heard.pan << ", VC-Left "
                        << s.rows[1].heard.gain << "/" << s.rows[1].heard.pan;
        EXPECT_TRUE(s.rows[2].heard.silent) << "a speaker the server never names is silenced";
        EXPECT_EQ(s.accepted, 1u);
        EXPECT_EQ(s.bad_entries, 0u);
        sim.finish();
        EXPECT_EQ(sim.host().violations(), std::vector<std::string>{});
    }
    EXPECT_TRUE(fs::exists(fs::path(dir.path) / "marlpike_voice.log"));
}

TEST(HostSimulator, AgreesWithTheScriptedServer) {
    using mvtest::Step;
    mvtest::ScriptServer script({
        Step::handshake({"K", "VC-Me", "tok-123", kProof, "OK\n"}),
        Step::send_line("UPDATE2 VC-Right 0.5 -0.2, VC-Broken, VC-Left 0.25"),
        Step::send_line("PING"),
        Step::expect("OK"),
    });
    ASSERT_TRUE(script.listening());
    TempDir dir;
    Simulation sim(config(script.port(), dir.path));
    std::string error;
    ASSERT_TRUE(sim.start(&error)) << error;
    EXPECT_TRUE(run_until(sim, [](const Snapshot &s) {
        return heard(s.rows[0], 0.5, -0.2) && heard(s.rows[1], 0.25, 0.0) && s.pings_answered == 1;
    }));
    EXPECT_TRUE(script.wait_until_done());
    EXPECT_EQ(script.errors(), std::vector<std::string>{});
    const Snapshot s = sim.snapshot();
    EXPECT_EQ(s.bad_entries, 1u);
    EXPECT_EQ(s.server_pings, 1u);
    EXPECT_TRUE(s.rows[2].heard.silent);
    sim.finish();
    EXPECT_EQ(sim.host().violations(), std::vector<std::string>{});
}

TEST(HostSimulator, ReportsARefusedProofAndKeepsEveryoneSilent) {
    using mvtest::Step;
    mvtest::ScriptServer script(
        {Step::handshake({"K", "VC-Me", "tok-123", kProof, "ERR bad_proof\n"}), Step::close()});
    TempDir dir;
    Simulation sim(config(script.port(), dir.path));
    std::string error;
    ASSERT_TRUE(sim.start(&error)) << error;
    EXPECT_TRUE(
        run_until(sim, [](const Snapshot &s) { return s.rejected == 1 && s.stage == LinkStage::closed; }));
    const Snapshot s = sim.snapshot();
    EXPECT_EQ(s.accepted, 0u);
    for (const SpeakerRow &r : s.rows)
        EXPECT_TRUE(r.heard.silent) << r.alias;
    bool explained = false;
    for (const WireEvent &e : sim.all_events())
        explained =
            explained || (e.level == Level::fail && e.text.find("proof rejected") != std::string::npos);
    EXPECT_TRUE(explained);
    sim.finish();
}

} // namespace
} // namespace mvtools
