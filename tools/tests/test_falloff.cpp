// The falloff server library and what it stands on: the tools' own HMAC
// against RFC 4231 and the project's proof vectors (computed independently),
// the handshake check, each way of running the server over real sockets, and
// the socket helper's fixtures.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <optional>

#include "common/hmac.h"
#include "common/text.h"
#include "common/wire.h"
#include "falloff/handshake.h"
#include "falloff/reference_server.h"
#include "falloff/script_server.h"
#include "falloff/stream_server.h"
#include "net/fixtures.h"

namespace mvfalloff {
namespace {

using mvnet::Io;
using Strings = std::vector<std::string>;
const std::string kHash = "3f1a9c0e5b7d2468ace13579bdf02468ace13579";
const std::string kProof =
    "PROOF c4811aeb157526141597b12d58063672ff10a35c9db4fd3fa9be833ed62d17fb"; // tok-123

TEST(Hmac, MatchesRfc4231TheProofVectorsAndShaPaddingEdges) {
    std::vector<std::array<std::string, 3>> vectors = {
        // key, message, HMAC: RFC 4231 cases 1 and 7
        {std::string(20, '\x0b'), "Hi There",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {std::string(131, '\xaa'),
         "This is a test using a larger than block-size key and a larger than block-size data. The key needs "
         "to be hashed before being used by the HMAC algorithm.",
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"}};
    std::ifstream in(MV_TEST_VECTORS "/proof.tsv"); // key, token, proof, note; "x*8181": 8181 bytes of x
    auto expand = [](const std::string &s) {
        return s.size() > 2 && s[1] == '*' ? std::string(std::stoul(s.substr(2)), s[0]) : s;
    };
    for (std::string line; std::getline(in, line);) {
        Strings f; // tab-separated: a token may hold a space, or be empty
        for (size_t start = 0, tab = 0; tab != std::string::npos; start = tab + 1)
            f.push_back(line.substr(start, (tab = line.find('\t', start)) - start));
        if (f.size() >= 3 && line[0] != '#') vectors.push_back({expand(f[0]), expand(f[1]), f[2]});
    }
    ASSERT_GE(vectors.size(), 8u) << "no vectors at " MV_TEST_VECTORS;
    for (const auto &[key, token, proof] : vectors) {
        EXPECT_EQ(mvtools::hmac_sha256_hex(key, token), proof) << token.substr(0, 40);
        // The reference check keys the HMAC with the roster's hash and signs the token.
        ServerHandshake h(token);
        const mvtools::Roster roster{"K", {{"VC-T", key}}};
        EXPECT_EQ(h.on_line("HELLO2 K VC-T", roster).send, "CHALLENGE " + token + "\n");
        EXPECT_EQ(h.on_line("PROOF " + proof, roster).send, "OK\n") << token.substr(0, 40);
    }
    // Either side of where the padding takes a second block (digests by sha256sum), fed in two pieces.
    for (const auto &[n, digest] :
         {std::pair<size_t, std::string>{55,
                                         "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
          {56, "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
          {64, "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"}})
        for (const size_t cut : {size_t{0}, size_t{1}, n - 1}) {
            mvtools::Sha256 h;
            h.update(std::string(cut, 'a'));
            h.update(std::string(n - cut, 'a'));
            const auto d = h.finish();
            EXPECT_EQ(mvtools::to_hex(d.data(), d.size()), digest) << n << " cut at " << cut;
        }
}

TEST(ServerHandshake, RefusesEachWayOfGettingItWrong) {
    const std::array<std::string, 3> cases[] = {
        // HELLO2, the next line (none: refused at HELLO2), the reply
        {"HELLO2 K vc-fox", kProof, "OK\n"}, // aliases ignore case
        {"HELLO K VC-Fox", "", "ERR bad_hello\n"},
        {"HELLO2 K ", "", "ERR bad_hello\n"},
        {"HELLO2 k VC-Fox", "", "ERR bad_key\n"},
        {"HELLO2 K VC-Nobody", "", "ERR unknown_alias\n"},
        {"HELLO2 K VC-Fox", "PROOF C4811AEB157526141597B12D58063672FF10A35C9DB4FD3FA9BE833ED62D17FB",
         "ERR bad_proof\n"},
        {"HELLO2 K VC-Fox", kProof.substr(0, kProof.size() - 1), "ERR bad_proof\n"},
        {"HELLO2 K VC-Fox", kProof + " ", "ERR bad_proof\n"},
        {"HELLO2 K VC-Heron", kProof, "ERR bad_proof\n"}}; // another player's hash
    const mvtools::Roster roster{"K", {{"VC-Fox", kHash}, {"VC-Heron", "a"}}};
    for (const auto &[hello, next, reply] : cases) {
        ServerHandshake h("tok-123");
        auto r = h.on_line(hello, roster);
        if (!next.empty()) {
            ASSERT_EQ(r.send, "CHALLENGE tok-123\n") << hello;
            r = h.on_line(next, roster);
        }
        EXPECT_EQ(r.send, reply) << hello << " / " << next;
        EXPECT_EQ(r.close, reply != "OK\n");
    }
}

// The plugin's side of a link, reading lines as the plugin frames them.
class Client {
  public:
    explicit Client(uint16_t port) : s_(mvnet::connect_tcp("127.0.0.1", port, 5000)) {}
    void send(std::string_view bytes) { EXPECT_TRUE(mvnet::send_all(s_.get(), bytes, 5000)); }
    // The next line beginning with prefix; none once the link has ended (ended says how).
    std::optional<std::string> line(std::string_view prefix = "") {
        for (const auto until = std::chrono::steady_clock::now() + kDefaultDeadline;
             std::chrono::steady_clock::now() < until;) {
            while (auto l = framer_.next())
                if (l->text.starts_with(prefix)) return l->text;
            char buf[4096];
            const mvnet::IoResult r = mvnet::receive(s_.get(), buf, sizeof buf, 100);
            if (r.status != Io::done && r.status != Io::timeout) return ended = r.status, std::nullopt;
            framer_.feed(std::string_view(buf, r.bytes));
        }
        ADD_FAILURE() << "no line before the deadline";
        return std::nullopt;
    }
    Io ended = Io::done;

  private:
    mvnet::UniqueSocket s_;
    mvtools::LineFramer framer_;
};

TEST(ReferenceServer, RefusesSignsInStreamsTheScenarioPingsAndReplacesAnOldLink) {
    mvtools::Logger log(nullptr, "");
    ReferenceConfig c;
    c.port = 0;
    c.roster = {"K", {{"VC-Me", kHash}}};
    c.rate_hz = 50;
    c.ping_sec = 0.05;
    c.token_source = [] { return std::string("tok-123"); };
    std::string error;
    ASSERT_TRUE(mvtools::parse_scenario("falloff 2 12\nat 0 VC-Me 0 0\nat 0 VC-Right 5 0\nat 0 VC-Left -7 0\n"
                                        "at 0 VC-Far 0 40\n",
                                        &c.scenario, &error));
    ReferenceServer server(std::move(c), log);
    ASSERT_TRUE(server.start(&error)) << error;
    Client stranger(server.port()), first(server.port()), second(server.port());
    stranger.send("HELLO2 K VC-Stranger\n");
    EXPECT_EQ(stranger.line(), "ERR unknown_alias");
    EXPECT_EQ(stranger.line(), std::nullopt) << "the link stays open after a refusal";
    first.send("HELLO2 K VC-Me\n");
    EXPECT_EQ(first.line(), "CHALLENGE tok-123");
    first.send(kProof + "\n");
    EXPECT_EQ(first.line(), "OK");
    const auto update = first.line("UPDATE2");
    ASSERT_TRUE(update);
    std::map<std::string, std::pair<float, float>> heard; // not the listener, not the one out of range
    for (auto piece : mvtools::split_entries(mvtools::classify_server_line(*update).payload))
        if (auto v = mvtools::parse_entry(piece, true).entry) heard[v->alias] = {v->gain, v->pan};
    EXPECT_EQ(heard, (decltype(heard){{"VC-Right", {0.7f, 1.0f}}, {"VC-Left", {0.5f, -1.0f}}})) << *update;
    ASSERT_TRUE(first.line("PING"));
    first.send("OK\n");
    while (server.stats().pings_answered == 0)
        ASSERT_TRUE(first.line()); // keeps reading until the server has counted it
    second.send("HELLO2 K vc-me\n" + kProof + "\n");
    EXPECT_EQ(second.line("OK"), "OK");
    EXPECT_EQ(first.line("no such line"), std::nullopt) << "the newest link of a player wins";
    EXPECT_TRUE(second.line("UPDATE2"));
    const ReferenceStats st = server.stats();
    EXPECT_EQ((std::array{st.accepted, st.established, st.rejected}), (std::array<size_t, 3>{3, 2, 1}));
}

TEST(ScriptServer, PlaysTheScriptRecordsEveryLineAndResets) {
    ScriptServer server({Step::handshake({"K", "VC-Me", "tok-123", kProof.substr(6)}),
                         Step::send("UPDATE2 a"), Step::send_line(" 1 0"), Step::expect_prefix("PI"),
                         Step::gate(), Step::reset()});
    Client c(server.port());
    c.send("HELLO2 K VC-Me\n");
    EXPECT_EQ(c.line(), "CHALLENGE tok-123");
    c.send(kProof + "\n");
    EXPECT_EQ(c.line(), "OK");
    EXPECT_EQ(c.line(), "UPDATE2 a 1 0");
    c.send("PING\r\nextra\n");
    EXPECT_TRUE(server.wait_for_lines("extra", 1, 0)); // recorded though no step takes it
    server.open_gate();
    EXPECT_EQ(c.line(), std::nullopt);
    EXPECT_EQ(c.ended, mvnet::resets_read_as_closes() ? Io::closed : Io::reset);
    EXPECT_TRUE(server.wait_until_done());
    EXPECT_EQ(server.lines(0), (Strings{"HELLO2 K VC-Me", kProof, "PING\r", "extra"}));
    EXPECT_EQ(server.errors(), Strings{});
}

TEST(ScriptServer, ReportsWhatDifferedFromTheScript) {
    const std::string zeros(64, '0');
    const std::tuple<Step, std::string, std::string> cases[] = {
        // the step, what the peer sends, the error
        {Step::expect("PING"), "PONG\n", "expected 'PING', got 'PONG'"},
        {Step::expect_any(), "", "connection closed while expecting ''"},
        {Step::handshake({"K", "VC-Me", "t", zeros}), "HELLO2 K VC-Me\n" + kProof + "\n",
         "proof " + kProof.substr(6) + " differs from the expected " + zeros},
        {Step::handshake({"K", "VC-Me", "t", ""}), "HELLO2 K VC-Me\nPROOF 12\n",
         "malformed proof line 'PROOF 12'"}};
    for (const auto &[step, bytes, error] : cases) {
        ScriptServer server({step});
        Client(server.port()).send(bytes);
        EXPECT_TRUE(server.wait_until_done());
        EXPECT_EQ(server.errors(), Strings{"connection 0: " + error});
    }
}

TEST(StreamServer, TakesAnyProofStreamsRoundsAndDrops) {
    StreamServer server;
    Client c(server.port());
    c.send("HELLO2 k VC-Me\nPROOF anything\n");
    const Strings lines = {"UPDATE2 a 1 0\n", "PING\n"};
    EXPECT_EQ(c.line("OK"), "OK");
    server.stream(&lines, 3, 0);
    server.wait_stream();
    server.drop();
    Strings got;
    while (auto l = c.line())
        got.push_back(*l);
    EXPECT_EQ(got, (Strings{"UPDATE2 a 1 0", "PING", "UPDATE2 a 1 0", "PING", "UPDATE2 a 1 0", "PING"}));
    EXPECT_EQ((std::array{server.accepted(), server.hellos(), server.established(),
                          server.lines_from_plugin(), server.bytes_sent()}),
              (std::array<uint64_t, 5>{1, 1, 1, 2, 22 + 3 + 3 * 19}));
}

TEST(Net, FixturesNeverConnectAndAResetReadsAsOne) {
    const mvnet::BlackholeListener hole;
    ASSERT_TRUE(hole.ready());
    std::string error;
    EXPECT_EQ(mvnet::connect_tcp("127.0.0.1", hole.port(), 300, &error), mvnet::kInvalidSocket);
    EXPECT_TRUE(error.find("timed out") != std::string::npos || error.find("10060") != std::string::npos)
        << error;
    EXPECT_EQ(mvnet::connect_tcp("127.0.0.1", mvnet::refused_port(), 20000, &error), mvnet::kInvalidSocket);
    EXPECT_TRUE(error.find("refused") != std::string::npos || error.find("10061") != std::string::npos)
        << error;
    for (const bool reset : {false, true}) {
        mvnet::LoopbackPair pair;
        ASSERT_TRUE(pair.ok());
        (reset ? mvnet::reset_socket : mvnet::close_socket)(pair.writer);
        pair.writer = mvnet::kInvalidSocket;
        char buf[4];
        EXPECT_EQ(mvnet::receive(pair.reader, buf, sizeof buf, 5000).status,
                  reset && !mvnet::resets_read_as_closes() ? Io::reset : Io::closed);
    }
}

} // namespace
} // namespace mvfalloff
