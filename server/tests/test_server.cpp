// A real server on 127.0.0.1 with protocol clients: change-only sending,
// staleness, replacement, leave, the address binding, the handshake's
// refusals and its rate limit, sync and stats; and the program's exit on
// SIGTERM. What links are sent is checked with the tick on one thread and on
// two. Every wait has a deadline; none is an assertion.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "client.h"
#include "server/log.h"
#include "server/server.h"

namespace mvserver::test {
namespace {

const std::string kKey = "live-test-key-4f2a9c";

class LiveServer : public testing::Test {
  protected:
    virtual ServerConfig config() {
        ServerConfig c;
        c.port = 0;
        c.control_port = 0;
        c.key = kKey;
        c.rate_hz = 50;
        c.ping_sec = 0;
        c.idle_timeout_sec = 0;
        c.stale_sec = 0;
        c.handshakes_per_minute = 0;
        c.handle_signals = false;
        return c;
    }

    void start() { start(config()); }
    void start(ServerConfig c) {
        server_ = std::make_unique<Server>(std::move(c), World(25), log_);
        std::string error;
        ASSERT_TRUE(server_->open(&error)) << error;
        thread_ = std::thread([this] { server_->run(); });
        control_ = std::make_unique<Client>(server_->control_port());
        ASSERT_TRUE(control_->connected());
    }

    void TearDown() override {
        if (!server_) return;
        server_->stop();
        thread_.join();
    }

    // Sends the lines and a sync; returns every answer before the sync's OK.
    std::vector<std::string> control(const std::vector<std::string> &lines) {
        std::string bytes;
        for (const std::string &l : lines)
            bytes += l + "\n";
        control_->send(bytes + "sync\n");
        std::vector<std::string> answers;
        while (auto a = control_->line()) {
            if (*a == "OK") return answers;
            answers.push_back(*a);
        }
        ADD_FAILURE() << "no answer to sync";
        return answers;
    }

    std::string stats() {
        const auto answers = control({"stats"});
        return answers.empty() ? "" : answers.back();
    }

    // One number of the STATS line.
    uint64_t stat(const std::string &name) {
        const std::string line = stats();
        const size_t at = line.find(" " + name + "=");
        return at == std::string::npos ? ~uint64_t{0} : std::stoull(line.substr(at + name.size() + 2));
    }

    std::unique_ptr<Client> link(const std::string &alias, const std::string &from = "127.0.0.1") {
        auto c = std::make_unique<Client>(server_->port(), from);
        EXPECT_EQ(c->handshake(kKey, alias, "hash-of-" + alias), "OK") << alias;
        return c;
    }

    static std::string player(const std::string &alias, const std::string &address = "") {
        return "player " + alias + " hash-of-" + alias + (address.empty() ? "" : " " + address);
    }

    Log log_{nullptr, ""};
    std::unique_ptr<Server> server_;
    std::thread thread_;
    std::unique_ptr<Client> control_;
};

// The same, with the tick over that many threads; the links sit in both
// workers' shares of the slots.
class LinkFeed : public LiveServer, public testing::WithParamInterface<unsigned> {
  protected:
    ServerConfig config() override {
        ServerConfig c = LiveServer::config();
        c.threads = GetParam();
        return c;
    }
};

INSTANTIATE_TEST_SUITE_P(Threads, LinkFeed, testing::Values(1u, 2u),
                         [](const testing::TestParamInfo<unsigned> &p) { return std::to_string(p.param); });

TEST_P(LinkFeed, SendsAnUpdateOnlyWhenTheTableChanged) {
    start();
    EXPECT_EQ(control({player("VC-A"), player("VC-B"), player("VC-C"), player("VC-D"), "pos VC-A 0 0 0 0",
                       "pos VC-B 5 0 0 0", "pos VC-C 500 0 0 0", "pos VC-D 505 0 0 0"}),
              std::vector<std::string>{});
    auto a = link("VC-A");
    EXPECT_EQ(a->line(), "UPDATE2 VC-B 0.870 1.000");
    auto c = link("VC-C");
    EXPECT_EQ(c->line(), "UPDATE2 VC-D 0.870 1.000");
    // B stands where it stood: A's table is the same; C's changes.
    control({"pos VC-B 5 0 0 0", "pos VC-C 501 0 0 0"});
    EXPECT_EQ(c->line(), "UPDATE2 VC-D 0.913 1.000");
    EXPECT_EQ(stat("updates"), 3u);
    control({"pos VC-B 6 0 0 0"});
    EXPECT_EQ(a->line(), "UPDATE2 VC-B 0.826 1.000");
}

TEST_P(LinkFeed, ClosesALinkThatStopsReadingAndGoesOnFeedingTheOthers) {
    start();
    std::vector<std::string> lines = {player("Quick"), "pos Quick 1 0 0 0"};
    // Speakers with long aliases all round: each update is some 40 KB.
    for (int i = 0; i < 600; ++i) {
        const std::string alias = "a-speaker-whose-alias-fills-the-line-" + std::to_string(i);
        lines.push_back(player(alias));
        lines.push_back("pos " + alias + " " + std::to_string(i % 17 - 8) + " " + std::to_string(i % 13 - 6) +
                        " 0 0");
    }
    // The first slot and the last: with two threads, one in each share.
    lines.push_back(player("Slow"));
    lines.push_back("pos Slow 0 0 0 0");
    control(lines);
    Client slow(server_->port(), "127.0.0.1", 4096);
    ASSERT_EQ(slow.handshake(kKey, "Slow", "hash-of-Slow"), "OK");
    auto quick = link("Quick");
    // Each turn of the listeners changes every pan, so every table; the
    // quick link reads all it is sent, the slow one nothing.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (int turn = 1; stat("links") == 2 && std::chrono::steady_clock::now() < until; ++turn) {
        const std::string heading = std::to_string(turn % 360);
        control({"pos Slow 0 0 0 " + heading, "pos Quick 1 0 0 " + heading});
        while (quick->line(std::chrono::milliseconds(2))) {
        }
    }
    EXPECT_EQ(stat("links"), 1u);
    EXPECT_TRUE(slow.wait_closed());
    while (quick->line(std::chrono::milliseconds(100))) {
    }
    control({"pos Quick 1 0 0 200.5"});
    const auto update = quick->line();
    EXPECT_TRUE(update && update->starts_with("UPDATE2 ")) << "the quick link is fed no more";
}

TEST_P(LinkFeed, AStalePlayerFallsSilentAndComesBackWithItsNextPos) {
    ServerConfig c = config();
    c.stale_sec = 1; // slack for a slow sanitizer run between a pos and the next tick
    start(c);
    control({player("VC-A"), player("VC-B")});
    auto a = link("VC-A");
    auto b = link("VC-B");
    EXPECT_EQ(a->line(), "UPDATE2"); // not placed yet
    EXPECT_EQ(b->line(), "UPDATE2");
    control({"pos VC-A 0 0 0 0", "pos VC-B 0 5 0 0"});
    EXPECT_EQ(a->line(), "UPDATE2 VC-B 0.870 0.000");
    EXPECT_EQ(b->line(), "UPDATE2 VC-A 0.870 0.000");
    // Nobody feeds them: both fall silent, once.
    EXPECT_EQ(a->line(), "UPDATE2");
    EXPECT_EQ(b->line(), "UPDATE2");
    control({"pos VC-A 0 0 0 90", "pos VC-B 0 5 0 0"});
    EXPECT_EQ(a->line(), "UPDATE2 VC-B 0.870 -1.000");
}

TEST_P(LinkFeed, ANewerLinkReplacesTheOlderAndLeaveClosesTheLink) {
    start();
    control({player("VC-A"), player("VC-B"), "pos VC-A 0 0 0 0", "pos VC-B 5 0 0 0"});
    auto first = link("VC-A");
    EXPECT_EQ(first->line(), "UPDATE2 VC-B 0.870 1.000");
    Client second_link(server_->port());
    EXPECT_EQ(second_link.handshake(kKey, "vc-a", "hash-of-VC-A"), "OK");
    Client *second = &second_link;
    EXPECT_TRUE(first->wait_closed());
    EXPECT_EQ(second->line(), "UPDATE2 VC-B 0.870 1.000");
    auto b = link("VC-B");
    EXPECT_EQ(b->line(), "UPDATE2 VC-A 0.870 -1.000");
    control({"leave VC-B"});
    EXPECT_TRUE(b->wait_closed());
    EXPECT_EQ(second->line(), "UPDATE2");
    EXPECT_EQ(stat("players"), 1u);
    EXPECT_EQ(stat("links"), 1u);
}

TEST_F(LiveServer, AnAliasBoundToAnAddressLinksOnlyFromThere) {
    start();
    control({player("VC-A", "127.0.0.2")});
    Client wrong(server_->port(), "127.0.0.1");
    EXPECT_EQ(wrong.handshake(kKey, "VC-A", "hash-of-VC-A"), "ERR wrong_address");
    EXPECT_TRUE(wrong.wait_closed());
    auto right = link("VC-A", "127.0.0.2");
    EXPECT_EQ(right->line(), "UPDATE2"); // not placed yet: the empty update at once
    // Bound elsewhere now: the live link no longer comes from the right place.
    control({player("VC-A", "::ffff:127.0.0.3")});
    EXPECT_TRUE(right->wait_closed());
    link("VC-A", "127.0.0.3");
}

TEST_F(LiveServer, RefusesABadHandshakeWithItsReason) {
    start();
    control({player("VC-A")});
    const struct {
        std::string hello, hash, reply;
    } cases[] = {
        {"HELLO " + kKey + " VC-A\n", "hash-of-VC-A", "ERR bad_hello"},
        {"HELLO2 " + kKey + "\n", "hash-of-VC-A", "ERR bad_hello"},
        {"HELLO2 wrong-key VC-A\n", "hash-of-VC-A", "ERR bad_key"},
        {"HELLO2 " + kKey + " VC-Nobody\n", "hash-of-VC-A", "ERR unknown_alias"},
        {"HELLO2 " + kKey + " VC-A\n", "hash-of-someone-else", "ERR bad_proof"},
    };
    for (const auto &c : cases) {
        Client client(server_->port());
        client.send(c.hello);
        std::string reply = client.line().value_or("");
        if (reply.starts_with("CHALLENGE ")) {
            client.send("PROOF " + hmac_hex(c.hash, reply.substr(10)) + "\n");
            reply = client.line().value_or("");
        }
        EXPECT_EQ(reply, c.reply) << c.hello;
        EXPECT_TRUE(client.wait_closed()) << c.hello;
    }
    // The refusals' lines and the one challenge count as bytes sent.
    EXPECT_EQ(stats(), "STATS players=1 links=0 updates=0 bytes=115 refused=5");
}

TEST_F(LiveServer, LimitsHandshakesPerSourceAddress) {
    ServerConfig c = config();
    c.handshakes_per_minute = 2;
    start(c);
    control({player("VC-A")});
    for (int i = 0; i < 2; ++i) {
        Client ok(server_->port(), "127.0.0.5");
        ok.send("HELLO2 " + kKey + " VC-A\n");
        EXPECT_TRUE(ok.line().value_or("").starts_with("CHALLENGE "));
    }
    Client over(server_->port(), "127.0.0.5");
    EXPECT_EQ(over.line(), "ERR too_many_attempts");
    EXPECT_TRUE(over.wait_closed());
    link("VC-A", "127.0.0.6");
}

TEST_F(LiveServer, AnswersSyncAndStatsAndRefusesBadLines) {
    start();
    EXPECT_EQ(
        control({player("VC-A"), "jump VC-A", "# a comment", "", "pos VC-A 1 2 3", player("VC-B")}),
        (std::vector<std::string>{"ERR unknown_command: jump VC-A", "ERR bad_arguments: pos VC-A 1 2 3"}));
    control_->send(std::string(5000, 'x') + "\nstats\n");
    EXPECT_EQ(control_->line(), "ERR too_long: " + std::string(256, 'x'));
    EXPECT_EQ(control_->line(), "STATS players=2 links=0 updates=0 bytes=0 refused=0");
}

// ---- the program ---------------------------------------------------------------------

std::string read_port(const std::string &path) {
    std::ifstream in(path);
    std::string port;
    in >> port;
    return port;
}

TEST(Program, ClosesEveryLinkAndExitsZeroOnSigterm) {
    char dir_template[] = "/tmp/mv-server-test-XXXXXX";
    const std::string dir = mkdtemp(dir_template);
    std::ofstream(dir + "/key") << kKey << "\r\n";
    std::ofstream(dir + "/roster") << "key ignored-roster-key\nplayer VC-A hash-of-VC-A\n";
    const pid_t pid = fork();
    if (pid == 0) {
        freopen("/dev/null", "w", stdout);
        execl(MV_SERVER_PROGRAM, MV_SERVER_PROGRAM, "--roster", (dir + "/roster").c_str(), "--key-file",
              (dir + "/key").c_str(), "--control", "0", "--control-port-file",
              (dir + "/control.port").c_str(), "--port", "0", "--port-file", (dir + "/plugin.port").c_str(),
              "--log", (dir + "/server.log").c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    std::string port;
    for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         (port = read_port(dir + "/plugin.port")).empty() && std::chrono::steady_clock::now() < until;)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_FALSE(port.empty());
    Client c(static_cast<uint16_t>(std::stoi(port)));
    EXPECT_EQ(c.handshake(kKey, "VC-A", "hash-of-VC-A"), "OK");
    EXPECT_EQ(c.line(), "UPDATE2");
    kill(pid, SIGTERM);
    EXPECT_TRUE(c.wait_closed());
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::ifstream log(dir + "/server.log");
    const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("key_source=key-file(over-roster)"), std::string::npos) << text;
    EXPECT_NE(text.find("reason=server_stopping"), std::string::npos) << text;
    EXPECT_EQ(text.find(kKey), std::string::npos) << "the key is never logged";
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace mvserver::test
