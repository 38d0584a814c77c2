#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "falloff/messages.h"

using namespace mv;

TEST(Messages, FormatsOutgoingLinesWithinTheBuffer) {
    char out[1024];
    EXPECT_EQ(format_hello2(out, sizeof out, "k3y", "VC-Fox"), 18u);
    EXPECT_STREQ(out, "HELLO2 k3y VC-Fox\n");
    EXPECT_EQ(format_hello2(out, 10, "k3y", "VC-Fox"), 9u);
    EXPECT_STREQ(out, "HELLO2 k3");
    EXPECT_EQ(format_proof(out, sizeof out, "ab12"), 11u);
    EXPECT_STREQ(out, "PROOF ab12\n");
}

TEST(Messages, RecognisesServerLinesByteExactly) {
    const struct {
        std::string line;
        std::optional<std::string> token;
        bool accept, ping;
    } cases[] = {
        {"CHALLENGE abc ", "abc ", false, false},
        {"CHALLENGE ", "", false, false},
        {"CHALLENGE", {}, false, false},
        {"challenge abc", {}, false, false},
        {" CHALLENGE abc", {}, false, false},
        {"OK", {}, true, false},
        {"OK ", {}, false, false},
        {"ok", {}, false, false},
        {std::string("OK\0x", 4), {}, true, false},
        {"PING", {}, false, true},
        {"PING ", {}, false, false},
        {"ping", {}, false, false},
        {"", {}, false, false},
    };
    for (const auto &c : cases) {
        std::string_view token = "unset";
        EXPECT_EQ(parse_challenge(c.line.c_str(), token), c.token.has_value()) << c.line;
        if (c.token) {
            EXPECT_EQ(token, *c.token) << c.line;
        }
        EXPECT_EQ(is_accept(c.line.c_str()), c.accept) << c.line;
        EXPECT_EQ(is_ping(c.line.c_str()), c.ping) << c.line;
    }
}

TEST(Messages, SplitsUpdateKeywordFromPayload) {
    const struct {
        const char *line;
        std::optional<UpdateKind> kind;
        const char *payload;
    } cases[] = {
        {"UPDATE", UpdateKind::update, ""},
        {"UPDATE VC-a 1", UpdateKind::update, " VC-a 1"},
        {"UPDATE2VC-a 0.5 -0.25", UpdateKind::update2, "VC-a 0.5 -0.25"},
        {"UPDATE3 VC-a", UpdateKind::update3, " VC-a"},
        {"UPDATE4 VC-a 0.5", UpdateKind::update, "4 VC-a 0.5"},
        {"update VC-a 1", {}, ""},
        {"UPDAT", {}, ""},
        {" UPDATE", {}, ""},
    };
    for (const auto &c : cases) {
        UpdateKind kind{};
        std::string_view payload;
        ASSERT_EQ(parse_update_line(c.line, kind, payload), c.kind.has_value()) << c.line;
        if (!c.kind) continue;
        EXPECT_EQ(kind, *c.kind) << c.line;
        EXPECT_EQ(payload, c.payload) << c.line;
    }
}
