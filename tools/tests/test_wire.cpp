// The protocol as the tools read and write it: framing, line kinds, entries.
#include <gtest/gtest.h>

#include <cmath>

#include "common/wire.h"

namespace mvtools {
namespace {

TEST(LineFramer, DropsEveryCrAndCutsLongLines) {
    LineFramer f(8);
    f.feed("a\rb\r\nPI");
    f.feed("NG\n0123456789\nrest");
    std::vector<LineFramer::Line> lines;
    while (auto l = f.next())
        lines.push_back(*l);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].text, "ab");
    EXPECT_TRUE(lines[0].had_cr);
    EXPECT_EQ(lines[1].text, "PING");
    EXPECT_EQ(lines[2].text, "01234567");
    EXPECT_TRUE(lines[2].was_cut);
    EXPECT_EQ(lines[3].text, "89");
    EXPECT_FALSE(lines[3].was_cut);
    EXPECT_EQ(f.partial(), "rest");
}

TEST(Classify, KeywordsAreExactAndCaseSensitive) {
    struct Case {
        std::string line;
        ServerLine kind;
        std::string payload;
    };
    const Case cases[] = {
        {"CHALLENGE abc ", ServerLine::challenge, "abc "},
        {"CHALLENGE ", ServerLine::challenge, ""},
        {"CHALLENGEabc", ServerLine::other, "CHALLENGEabc"},
        {"challenge abc", ServerLine::other, "challenge abc"},
        {"OK", ServerLine::ok, ""},
        {"OK ", ServerLine::other, "OK "},
        {"PING", ServerLine::ping, ""},
        {"ping", ServerLine::other, "ping"},
        {"UPDATE2VC-a 0.5 -0.25", ServerLine::update2, "VC-a 0.5 -0.25"},
        {"UPDATE3 VC-a 1", ServerLine::update3, " VC-a 1"},
        {"UPDATE4 VC-a 0.5", ServerLine::update, "4 VC-a 0.5"},
        {"UPDATE", ServerLine::update, ""},
        {std::string("UPDATE2 VC-a 1\0 junk", 20), ServerLine::update2, " VC-a 1"},
        {"", ServerLine::empty, ""},
    };
    for (const Case &c : cases) {
        const Classified got = classify_server_line(c.line);
        EXPECT_EQ(got.kind, c.kind) << c.line;
        EXPECT_EQ(std::string(got.payload), c.payload) << c.line;
    }
}

TEST(ParseEntry, FollowsThePluginsReadingRule) {
    struct Case {
        std::string entry;
        bool with_pan;
        bool valid;
        std::string alias;
        float gain, pan;
        std::string note; // substring; empty: no note
    };
    const std::string long_alias(130, 'a');
    const Case cases[] = {
        {"VC-a 0.5 -0.25", true, true, "VC-a", 0.5f, -0.25f, ""},
        {"VC-a 0.5", true, true, "VC-a", 0.5f, 0.0f, ""},
        {"VC-a 0.5 left", true, true, "VC-a", 0.5f, 0.0f, "pan is not a number"},
        {"VC-a 0.5 0.7", false, true, "VC-a", 0.5f, 0.0f, "carries no pan"},
        {"VC-a 1.7 -3", true, true, "VC-a", 1.7f, -3.0f, "clamps"},
        {"VC-a 5e-1 1e0 trailing words", true, true, "VC-a", 0.5f, 1.0f, ""},
        {"VC-a nan", true, true, "VC-a", NAN, 0.0f, "not a number"},
        {"VC-b", true, false, "", 0, 0, "no gain"},
        {"VC-b loud", true, false, "", 0, 0, "gain is not a number"},
        {long_alias + " 0.5", true, false, "", 0, 0, "longer than 127"},
        {std::string(127, 'a') + "0.5 0.1", true, true, std::string(127, 'a'), 0.5f, 0.1f, "longer than 127"},
    };
    for (const Case &c : cases) {
        const EntryVerdict v = parse_entry(c.entry, c.with_pan);
        ASSERT_EQ(v.entry.has_value(), c.valid) << c.entry;
        if (c.note.empty())
            EXPECT_EQ(v.note, "") << c.entry;
        else
            EXPECT_NE(v.note.find(c.note), std::string::npos) << c.entry << " -> " << v.note;
        if (!c.valid) continue;
        EXPECT_EQ(v.entry->alias, c.alias);
        if (std::isnan(c.gain))
            EXPECT_TRUE(std::isnan(v.entry->gain));
        else
            EXPECT_FLOAT_EQ(v.entry->gain, c.gain) << c.entry;
        EXPECT_FLOAT_EQ(v.entry->pan, c.pan) << c.entry;
    }
}

TEST(SplitEntries, RunsOfCommasAndBlanksAreOneSeparator) {
    const auto pieces = split_entries(" VC-a 0.5 ,,, VC-b 1 0.2,  ,VC-c 0 ");
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0], "VC-a 0.5");
    EXPECT_EQ(pieces[1], "VC-b 1 0.2");
    EXPECT_EQ(pieces[2], "VC-c 0");
    EXPECT_TRUE(split_entries("").empty());
}

TEST(FormatUpdate2, ReadsBackAsTheSameEntries) {
    const std::vector<Entry> sent{
        {"VC-Fox", 0.5f, -0.2f}, {"VC-Heron", 1.0f, 1.0f}, {"VC-Otter", 0.0f, -1.0f}};
    const std::string line = format_update2(sent);
    ASSERT_EQ(line.back(), '\n');
    const std::string text = line.substr(0, line.size() - 1);
    const Classified c = classify_server_line(text);
    ASSERT_EQ(c.kind, ServerLine::update2);
    const auto pieces = split_entries(c.payload);
    ASSERT_EQ(pieces.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        const EntryVerdict v = parse_entry(pieces[i], true);
        ASSERT_TRUE(v.entry) << pieces[i];
        EXPECT_EQ(v.entry->alias, sent[i].alias);
        EXPECT_NEAR(v.entry->gain, sent[i].gain, 1e-4);
        EXPECT_NEAR(v.entry->pan, sent[i].pan, 1e-4);
    }
    EXPECT_EQ(format_update2({}), "UPDATE2\n");
}

} // namespace
} // namespace mvtools
