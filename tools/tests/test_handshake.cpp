// The reference server's handshake check and the tools' own HMAC, against the
// project's proof vectors (computed by an independent implementation).
#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "common/hmac.h"
#include "server/handshake.h"

namespace mvtools {
namespace {

struct Vector {
    std::string key, token, proof, note;
};

// "x*8181" stands for 8181 bytes of x.
std::string expand(const std::string &field) {
    static const std::regex repeat(R"((.)\*(\d+))");
    std::smatch m;
    if (std::regex_match(field, m, repeat)) return std::string(std::stoul(m[2]), m[1].str()[0]);
    return field;
}

std::vector<Vector> load_vectors() {
    std::ifstream in(MV_TEST_VECTORS "/proof.tsv");
    std::vector<Vector> out;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> f;
        size_t start = 0;
        for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
            f.push_back(line.substr(start, tab - start));
        f.push_back(line.substr(start));
        if (f.size() >= 3) out.push_back({expand(f[0]), expand(f[1]), f[2], f.size() > 3 ? f[3] : ""});
    }
    return out;
}

TEST(Hmac, MatchesTheProofVectors) {
    const auto vectors = load_vectors();
    ASSERT_GE(vectors.size(), 5u) << "vectors not found at " MV_TEST_VECTORS;
    for (const Vector &v : vectors)
        EXPECT_EQ(hmac_sha256_hex(v.key, v.token), v.proof) << v.note;
}

TEST(Hmac, ComparesAndDrawsTokens) {
    EXPECT_TRUE(constant_time_equal("abc", "abc"));
    EXPECT_FALSE(constant_time_equal("abc", "abd"));
    EXPECT_FALSE(constant_time_equal("abc", "ab"));
    EXPECT_TRUE(constant_time_equal("", ""));
    const std::string a = random_hex(16), b = random_hex(16);
    EXPECT_EQ(a.size(), 32u);
    EXPECT_NE(a, b);
}

Roster vector_roster() {
    Roster r;
    r.key = "SECRET";
    r.players = {{"VC-Fox", "3f1a9c0e5b7d2468ace13579bdf02468ace13579"}, {"VC-Heron", "a"}};
    return r;
}

TEST(ServerHandshake, AcceptsTheProofOfEveryVector) {
    for (const Vector &v : load_vectors()) {
        Roster r;
        r.key = "K";
        r.players = {{"VC-Test", v.key}};
        ServerHandshake h(v.token);
        const auto hello = h.on_line("HELLO2 K VC-Test", r);
        EXPECT_EQ(hello.send, "CHALLENGE " + v.token + "\n") << v.note;
        const auto proof = h.on_line("PROOF " + v.proof, r);
        EXPECT_EQ(proof.send, "OK\n") << v.note << ": " << proof.log;
        EXPECT_EQ(h.state(), ServerHandshake::State::established);
    }
}

TEST(ServerHandshake, RefusesEachWayOfGettingItWrong) {
    const std::string good = "PROOF c4811aeb157526141597b12d58063672ff10a35c9db4fd3fa9be833ed62d17fb";
    struct Case {
        std::string hello;
        std::string second; // empty: refused at HELLO2 already
        std::string reply;
    };
    const Case cases[] = {
        {"HELLO2 SECRET VC-Fox", good, "OK\n"},
        {"HELLO2 SECRET vc-fox", good, "OK\n"}, // aliases ignore case
        {"HELLO SECRET VC-Fox", "", "ERR bad_hello\n"},
        {"HELLO2 SECRET", "", "ERR bad_hello\n"},
        {"HELLO2 SECRET ", "", "ERR bad_hello\n"},
        {"HELLO2 secret VC-Fox", "", "ERR bad_key\n"},
        {"HELLO2 SECRET VC-Nobody", "", "ERR unknown_alias\n"},
        {"HELLO2 SECRET VC-Fox", "PROOF C4811AEB157526141597B12D58063672FF10A35C9DB4FD3FA9BE833ED62D17FB",
         "ERR bad_proof\n"},
        {"HELLO2 SECRET VC-Fox", good.substr(0, good.size() - 1), "ERR bad_proof\n"},
        {"HELLO2 SECRET VC-Fox", good + " ", "ERR bad_proof\n"},
        {"HELLO2 SECRET VC-Heron", good, "ERR bad_proof\n"}, // another player's hash
        {"HELLO2 SECRET VC-Fox", "HELLO2 SECRET VC-Fox", "ERR bad_proof\n"},
    };
    const Roster r = vector_roster();
    for (const Case &c : cases) {
        ServerHandshake h("tok-123");
        const auto hello = h.on_line(c.hello, r);
        if (c.second.empty()) {
            EXPECT_EQ(hello.send, c.reply) << c.hello;
            EXPECT_TRUE(hello.close);
            EXPECT_EQ(h.state(), ServerHandshake::State::closed);
            continue;
        }
        ASSERT_EQ(hello.send, "CHALLENGE tok-123\n") << c.hello;
        const auto second = h.on_line(c.second, r);
        EXPECT_EQ(second.send, c.reply) << c.hello << " / " << c.second;
        EXPECT_EQ(second.close, c.reply != "OK\n");
    }
}

} // namespace
} // namespace mvtools
