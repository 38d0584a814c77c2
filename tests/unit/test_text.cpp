// The text helpers every subsystem leans on: which aliases may reach a log
// line, ASCII-only case folding (never the locale's), and bounded copies.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/text.h"

using namespace mv;

namespace {

const std::string kRedacted = "<redacted>";

} // namespace

TEST(DisplayedAlias, ShowsOnlyVoiceAliasesOfSafeCharacters) {
    const struct {
        std::string alias;
        bool shown;
    } cases[] = {
        {"VC-", true},
        {"vc-abc_1", true},
        {"Vc-Fox-9_x", true},
        {"vC-" + std::string(124, 'z'), true},
        {"VC-a.b", false},
        {"VC-ab c", false},
        {"VC-ab\tc", false},
        {"Player1", false},
        {"VCX-", false},
        {"VC_abc", false},
        {"VC", false},
        {"V", false},
        {"", false},
        {"-VC-a", false},
        {"VC-\xC3\xA9", false}, // é in UTF-8
        {"VC-a\x7F", false},
        {"VC-a\x80", false},
        {"VC-<redacted>", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.alias);
        EXPECT_EQ(std::string(displayed_alias(c.alias.c_str())), c.shown ? c.alias : kRedacted);
    }
    EXPECT_EQ(std::string(displayed_alias(nullptr)), kRedacted);
}

TEST(AsciiCaseFolding, EqualityAndHashFoldOnlyAsciiLetters) {
    const struct {
        std::string a, b;
        bool equal;
    } cases[] = {
        {"VC-Fox_1", "vc-fox_1", true},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz", true},
        {"", "", true},
        {"vc-a", "vc-a", true},
        {"abc", "abd", false},
        {"abc", "abcd", false},
        {"abcd", "abc", false},
        {"", "a", false},
        // Neighbours of the letters that differ by the case bit (0x20) too.
        {"@", "`", false},
        {"[", "{", false},
        {"^", "~", false},
        // Bytes above 127 are never folded, whatever the locale says.
        {"\xC9", "\xE9", false},
        {"VC-\xC3\x89", "vc-\xC3\xA9", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.a + " / " + c.b);
        EXPECT_EQ(ascii_iequals(std::string_view(c.a), std::string_view(c.b)), c.equal);
        EXPECT_EQ(ascii_iequals(c.a.c_str(), c.b.c_str()), c.equal);
        EXPECT_EQ(ascii_iequals(c.b.c_str(), c.a.c_str()), c.equal);
        // The hash indexes rows that the equality then confirms: equal strings
        // must land on the same hash, or lookups miss.
        if (c.equal) {
            EXPECT_EQ(fold_hash(c.a), fold_hash(c.b));
        }
    }
}

TEST(AsciiCaseFolding, HashSeesEveryByte) {
    // An alias that differs only past its first bytes must still hash apart, or
    // aliases of one family all share a probe chain.
    EXPECT_NE(fold_hash("VC-player_0001"), fold_hash("VC-player_0002"));
    EXPECT_NE(fold_hash("a"), fold_hash(std::string_view("a\0", 2)));
}

TEST(CopyText, CutsAtCapacityAndAlwaysTerminates) {
    const struct {
        std::string src;
        size_t cap;
        std::string want;
    } cases[] = {
        {"hello", 16, "hello"}, {"hello", 6, "hello"}, {"hello", 5, "hell"}, {"hello", 1, ""}, {"", 4, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.src + " cap " + std::to_string(c.cap));
        char buf[32];
        std::memset(buf, '#', sizeof buf);
        EXPECT_EQ(copy_text(buf, c.cap, c.src), c.want.size());
        EXPECT_EQ(std::string(buf), c.want);
        EXPECT_EQ(buf[c.cap], '#'); // nothing written past the capacity
    }
    char untouched = '#';
    EXPECT_EQ(copy_text(&untouched, 0, "x"), 0u);
    EXPECT_EQ(untouched, '#');
}

TEST(Trim, RemovesTheSixWhitespaceBytesAtBothEnds) {
    EXPECT_EQ(trim(" \t\n\v\f\rVC-a 1\r\n\t "), "VC-a 1");
    EXPECT_EQ(trim(" \t "), "");
    EXPECT_EQ(trim("a\xA0"), "a\xA0"); // no-break space is not ASCII whitespace
}
