// The reference server over real sockets on 127.0.0.1, driven by a client
// that uses the proof vectors rather than the server's own HMAC.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "common/net.h"
#include "server/server.h"

namespace mvtools {
namespace {

constexpr auto kDeadline = std::chrono::seconds(20); // ends a hang, never measures speed
const std::string kProof = "PROOF c4811aeb157526141597b12d58063672ff10a35c9db4fd3fa9be833ed62d17fb\n";

class RunningServer {
  public:
    explicit RunningServer(double ping_sec = 0) : log_(nullptr, "") {
        ServerConfig c;
        c.port = 0;
        c.roster.key = "K";
        c.roster.players = {{"VC-Me", "3f1a9c0e5b7d2468ace13579bdf02468ace13579"}, {"VC-Right", "b"}};
        std::string error;
        EXPECT_TRUE(parse_scenario("falloff 2 12\nat 0 VC-Me 0 0\nat 0 VC-Right 5 0\nat 0 VC-Left -7 0\n"
                                   "at 0 VC-Far 0 40\n",
                                   &c.scenario, &error));
        c.rate_hz = 50;
        c.ping_sec = ping_sec;
        c.token_source = [] { return std::string("tok-123"); };
        server_ = std::make_unique<FalloffServer>(std::move(c), log_);
        EXPECT_TRUE(server_->open(&error)) << error;
        thread_ = std::thread([this] { server_->run(stop_); });
    }
    ~RunningServer() {
        stop_.store(true);
        thread_.join();
    }
    [[nodiscard]] uint16_t port() const { return server_->port(); }
    [[nodiscard]] ServerStats stats() const { return server_->stats(); }

  private:
    Logger log_;
    std::unique_ptr<FalloffServer> server_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class Client {
  public:
    explicit Client(uint16_t port) {
        std::string error;
        fd_ = net::connect_tcp("127.0.0.1", port, 5000, &error);
        EXPECT_GE(fd_, 0) << error;
    }
    ~Client() { net::close_fd(fd_); }
    void send(const std::string &s) { EXPECT_TRUE(net::send_all(fd_, s, 5000)); }
    // The next line, or nullopt when the server closed the link.
    std::optional<std::string> line() {
        const auto until = std::chrono::steady_clock::now() + kDeadline;
        while (std::chrono::steady_clock::now() < until) {
            if (auto l = framer_.next()) return l->text;
            if (net::wait_readable(fd_, 100) != 1) continue;
            char buf[4096];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) return std::nullopt;
            framer_.feed(std::string_view(buf, static_cast<size_t>(n)));
        }
        ADD_FAILURE() << "no line before the deadline";
        return std::nullopt;
    }
    std::optional<std::string> line_starting(const std::string &prefix) {
        while (auto l = line())
            if (l->starts_with(prefix)) return l;
        return std::nullopt;
    }

  private:
    int fd_ = -1;
    LineFramer framer_;
};

TEST(ReferenceServer, StreamsTheScenarioToAnAuthenticatedListener) {
    RunningServer server(0.05);
    Client c(server.port());
    c.send("HELLO2 K VC-Me\n");
    EXPECT_EQ(c.line(), "CHALLENGE tok-123");
    c.send(kProof);
    EXPECT_EQ(c.line(), "OK");
    const auto update = c.line_starting("UPDATE2");
    ASSERT_TRUE(update);
    const Classified u = classify_server_line(*update);
    std::map<std::string, Entry> got;
    for (auto piece : split_entries(u.payload)) {
        const auto v = parse_entry(piece, true);
        ASSERT_TRUE(v.entry) << piece;
        EXPECT_TRUE(v.note.empty()) << piece << ": " << v.note;
        got[v.entry->alias] = *v.entry;
    }
    ASSERT_EQ(got.size(), 2u) << *update; // not the listener, not the one out of range
    EXPECT_FLOAT_EQ(got["VC-Right"].gain, 0.7f);
    EXPECT_FLOAT_EQ(got["VC-Right"].pan, 1.0f);
    EXPECT_FLOAT_EQ(got["VC-Left"].gain, 0.5f);
    EXPECT_FLOAT_EQ(got["VC-Left"].pan, -1.0f);
    ASSERT_TRUE(c.line_starting("PING"));
    c.send("OK\n");
    while (server.stats().pings_answered == 0) {
        ASSERT_TRUE(c.line()); // keeps reading until the server has counted it
    }
    EXPECT_EQ(server.stats().established, 1u);
}

TEST(ReferenceServer, ClosesTheLinkAfterARefusal) {
    RunningServer server;
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"HELLO2 wrong VC-Me\n"}, "ERR bad_key"},
        {{"HELLO2 K VC-Stranger\n"}, "ERR unknown_alias"},
        {{"PING\n"}, "ERR bad_hello"},
        {{"HELLO2 K VC-Right\n", kProof}, "ERR bad_proof"},
    };
    for (const auto &[lines, reply] : cases) {
        Client c(server.port());
        std::optional<std::string> last;
        for (const std::string &l : lines) {
            c.send(l);
            last = c.line();
        }
        EXPECT_EQ(last, reply);
        EXPECT_EQ(c.line(), std::nullopt) << reply << ": the link stays open";
    }
    EXPECT_EQ(server.stats().rejected, 4u);
}

TEST(ReferenceServer, ANewLinkOfThePlayerReplacesTheOld) {
    RunningServer server;
    Client first(server.port());
    first.send("HELLO2 K VC-Me\n");
    first.line();
    first.send(kProof);
    ASSERT_EQ(first.line(), "OK");
    Client second(server.port());
    second.send("HELLO2 K vc-me\n");
    second.line();
    second.send(kProof);
    ASSERT_EQ(second.line(), "OK");
    while (first.line()) {
    }
    EXPECT_TRUE(second.line_starting("UPDATE2"));
}

} // namespace
} // namespace mvtools
