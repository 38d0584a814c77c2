// The text helpers every subsystem leans on: which aliases may reach a log
// line, and ASCII-only case folding (never the locale's).
#include <gtest/gtest.h>

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

TEST(LogSafeCopy, MasksTheKeyAndEscapesBytesOutsidePrintableAscii) {
    const struct {
        std::string text, key;
        size_t cap;
        std::string want;
    } cases[] = {
        {"HELLO2 k3y VC-Me", "k3y", 64, "HELLO2 <api_key> VC-Me"},
        {"ERR bad_key=k3y.", "k3y", 64, "ERR bad_key=<api_key>."},
        {"marlpike k3yk3y", "k3y", 64, "marlpike k3yk3y"},            // a short key counts as a word only
        {"ak3y=K3Y, k3Y", "k3y", 64, "ak3y=<api_key>, <api_key>"},    // each time, in any letter case
        {"xlongkey1longkey1", "longkey1", 64, "x<api_key><api_key>"}, // a longer one anywhere
        {"no key here", "", 64, "no key here"},
        {"ERR\x01\x7f\xc3\xa9 \\", "k3y", 64, "ERR\\x01\\x7f\\xc3\\xa9 \\"},
        {"abc\x01", "", 7, "abc"},   // an escape is never cut in half
        {"ab k3y", "k3y", 8, "ab "}, // nor the mask
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.want);
        std::string out(c.cap, '#');
        const size_t n = log_safe_copy(out.data(), c.cap, c.text, c.key, "<api_key>");
        EXPECT_EQ(std::string(out.c_str()), c.want);
        EXPECT_EQ(n, c.want.size());
    }
}
