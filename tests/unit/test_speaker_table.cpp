#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/pan_law.h"
#include "common/text.h"
#include "falloff/speaker_table.h"

using namespace mv;

namespace {

struct Row {
    std::string alias;
    float gain, pan, muffle = 0, radio = 0;
    bool operator==(const Row &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Row &r) {
    return os << r.alias << ' ' << r.gain << ' ' << r.pan << ' ' << r.muffle << ' ' << r.radio;
}

// The rows, each checked for the multipliers the audio path will use.
std::vector<Row> rows_of(const SpeakerTable &t) {
    std::vector<Row> rows;
    for (size_t i = 0; i < t.count; ++i) {
        const SpeakerState &r = t.rows[i];
        const Multipliers m = pan_multipliers(r.gain, r.pan);
        EXPECT_EQ(r.left, m.left) << r.alias;
        EXPECT_EQ(r.right, m.right) << r.alias;
        rows.push_back({r.alias, r.gain, r.pan, r.muffle, r.radio});
    }
    return rows;
}

const SpeakerState *find(const SpeakerTable &t, std::string_view alias) {
    return speaker_table_find(t, alias, fold_hash(alias));
}

constexpr float kInf = std::numeric_limits<float>::infinity();
const std::string a127(127, 'a');

} // namespace

TEST(SpeakerEntry, ReadsAsFormattedScanningDoes) {
    constexpr UpdateKind k1 = UpdateKind::update, k2 = UpdateKind::update2, k3 = UpdateKind::update3;
    const struct {
        std::string entry;
        UpdateKind kind;
        std::optional<Row> want;
    } cases[] = {
        {"VC-a 0.5 -0.25", k2, Row{"VC-a", 0.5f, -0.25f}},
        {"VC-a 0.5 -0.25", k1, Row{"VC-a", 0.5f, 0.0f}},
        {"VC-a\t0.5\v\f0.25 trailing junk", k2, Row{"VC-a", 0.5f, 0.25f}},
        {"VC-a 0.5-0.25", k2, Row{"VC-a", 0.5f, -0.25f}},
        {"VC-a 0.5 x", k2, Row{"VC-a", 0.5f, 0.0f}},
        {"VC-a +.5e1 -1E-1", k2, Row{"VC-a", 5.0f, -0.1f}},
        {"VC-a 0x1p-1 0X.8p1", k2, Row{"VC-a", 0.5f, 1.0f}},
        {"VC-a nan NaN(7)", k2, Row{"VC-a", 0.0f, 0.0f}},
        {"VC-a inf -Infinity", k2, Row{"VC-a", kInf, -kInf}},
        {"VC-a 1e39 -1e-999999999999", k2, Row{"VC-a", kInf, -0.0f}},
        {"VC-a 1" + std::string(40, '0') + " 0." + std::string(60, '0') + "1e10", k2, Row{"VC-a", kInf, 0}},
        {"VC-a 0x1" + std::string(50, '0') + "p-60 -0x0.01p-160", k2, Row{"VC-a", kInf, -0.0f}},
        {a127 + "1 0.3", k2, Row{a127, 1.0f, 0.3f}}, // the cut run goes on as the gain
        {a127 + "aa 0.3", k2, {}},
        {std::string("VC-a 0.5\0 0.3", 13), k2, Row{"VC-a", 0.5f, 0.0f}},
        {"VC-a", k2, {}},
        {"VC-a x", k2, {}},
        {"VC-a +-1", k2, {}},
        {"VC-a .", k2, {}},
        // Scanning gives back one character only: a form that starts longer
        // than it ends fails (a silent speaker), never falls back to a shorter one.
        {"VC-a infi", k2, {}},
        {"VC-a infin 0.5", k2, {}},
        {"VC-a infini", k2, {}},
        {"VC-a INFINIT", k2, {}},
        {"VC-a infinity -infx", k2, Row{"VC-a", kInf, -kInf}},
        {"VC-a 0x", k2, {}},
        {"VC-a -0xg", k2, {}},
        {"VC-a 0x.", k2, {}},
        {"VC-a 1 infin", k2, Row{"VC-a", 1.0f, 0.0f}}, // an unreadable pan is the centre
        {"VC-a 1 0x", k2, Row{"VC-a", 1.0f, 0.0f}},
        // An exponent mark with no digit after it (or after its sign) stops short too.
        {"VC-a 1e 2", k2, {}},
        {"VC-a 1E+", k2, {}},
        {"VC-a 1.e-x", k2, {}},
        {"VC-a 0x1p", k2, {}},
        {"VC-a 1 2e", k2, Row{"VC-a", 1.0f, 0.0f}},
        {"VC-a 1 -0x1P+", k2, Row{"VC-a", 1.0f, 0.0f}},
        {"VC-a 0x1e 1e-0", k2, Row{"VC-a", 30.0f, 1.0f}}, // e is a hexadecimal digit
        // UPDATE3 may carry a muffle after the pan, read by the same rules.
        {"VC-a 0.5 -0.25 0.75", k3, Row{"VC-a", 0.5f, -0.25f, 0.75f}},
        {"VC-a 0.5 -0.25 0.75", k2, Row{"VC-a", 0.5f, -0.25f, 0}},
        {"VC-a 0.5 x 0.75", k3, Row{"VC-a", 0.5f, 0, 0}}, // no pan read, so no muffle either
        {"VC-a 0.5 0 nan", k3, Row{"VC-a", 0.5f, 0, 0}},
        {"VC-a 0.5 0 infin", k3, Row{"VC-a", 0.5f, 0, 0}},
        // And a radio after the muffle, by the same rules again.
        {"VC-a 0.5 -0.25 0.75 0.6", k3, Row{"VC-a", 0.5f, -0.25f, 0.75f, 0.6f}},
        {"VC-a 0.5 -0.25 0.75 0.6", k2, Row{"VC-a", 0.5f, -0.25f, 0, 0}},
        {"VC-a 0.5 0 x 0.6", k3, Row{"VC-a", 0.5f, 0, 0, 0}}, // no muffle read, so no radio either
        {"VC-a 0.5 0 0.2 nan", k3, Row{"VC-a", 0.5f, 0, 0.2f, 0}},
        {"VC-a 0.5 0 0.2 1e", k3, Row{"VC-a", 0.5f, 0, 0.2f, 0}},
        {"VC-a 0.5 0 0.2 2 junk", k3, Row{"VC-a", 0.5f, 0, 0.2f, 2}}, // clamped when the table is built
    };
    for (const auto &c : cases) {
        SpeakerState out{};
        ASSERT_EQ(parse_speaker_entry(c.entry, c.kind, out), c.want.has_value()) << c.entry;
        if (c.want) {
            EXPECT_EQ((Row{out.alias, out.gain, out.pan, out.muffle, out.radio}), *c.want) << c.entry;
        }
    }
}

TEST(SpeakerEntry, Clamps) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct {
        float in, gain, pan, muffle;
    } cases[] = {{-0.5f, 0, -0.5f, 0},         {1.7f, 1, 1, 1}, {-3, 0, -1, 0},  {2, 1, 1, 1},
                 {0.25f, 0.25f, 0.25f, 0.25f}, {nan, 0, 0, 0},  {kInf, 1, 1, 1}, {-kInf, 0, -1, 0}};
    for (const auto &c : cases) {
        EXPECT_EQ(clamp_gain(c.in), c.gain) << c.in;
        EXPECT_EQ(clamp_pan(c.in), c.pan) << c.in;
        EXPECT_EQ(clamp_muffle(c.in), c.muffle) << c.in;
    }
}

TEST(SpeakerTable, BuildsFromPayload) {
    const struct {
        UpdateKind kind;
        std::string payload;
        std::vector<Row> want;
    } cases[] = {
        {UpdateKind::update2, " VC-a 0.2 0.1,vc-A 0.9", {{"VC-a", 0.9f, 0.0f}}},
        {UpdateKind::update3, "x 1, y 0.5 0.5, X 0.25 -1", {{"x", 0.25f, -1}, {"y", 0.5f, 0.5f}}},
        {UpdateKind::update, "VC-a 0.5 0.7", {{"VC-a", 0.5f, 0.0f}}},
        {UpdateKind::update2, "a -0.5 -3, b 1.7 2, c nan nan", {{"a", 0, -1}, {"b", 1, 1}, {"c", 0, 0}}},
        {UpdateKind::update2, ",,, a 1 ,,,,\tb 0.5 0.5 ,,  ,  ", {{"a", 1, 0}, {"b", 0.5f, 0.5f}}},
        {UpdateKind::update2, "a, b 0.5, c", {{"b", 0.5f, 0}}},
        {UpdateKind::update3, " VC-a 0.5 0.1, VC-b", {{"VC-a", 0.5f, 0.1f}}},
        {UpdateKind::update3, "a 1 0 2, b 1 0 -1, A 1 0 0.5", {{"a", 1, 0, 0.5f}, {"b", 1, 0, 0}}},
        {UpdateKind::update3,
         "a 1 0 0 2, b 1 0 0 -1, c 1 0 0 0.5",
         {{"a", 1, 0, 0, 1}, {"b", 1, 0, 0, 0}, {"c", 1, 0, 0, 0.5f}}},
        {UpdateKind::update, "", {}},
        {UpdateKind::update, " \t ", {}},
        {UpdateKind::update, std::string(200, 'a') + " 0.5", {}},
        {UpdateKind::update, a127 + " 0.5", {{a127, 0.5f, 0}}},
        {UpdateKind::update, std::string(20000, ',') + "far 0.5", {{"far", 0.5f, 0}}},
    };
    auto table = std::make_unique<SpeakerTable>();
    build_speaker_table(*table, UpdateKind::update, "stale 1, Y 1");
    for (const auto &c : cases) {
        build_speaker_table(*table, c.kind, c.payload);
        EXPECT_EQ(rows_of(*table), c.want) << c.payload.substr(0, 60);
        for (const Row &r : c.want)
            EXPECT_NE(find(*table, r.alias), nullptr) << r.alias;
        EXPECT_EQ(find(*table, "stale"), nullptr);
    }
}

TEST(SpeakerTable, KeepsFirst512AndStillUpdatesThemWhenFull) {
    std::string payload;
    for (int i = 0; i < 600; ++i)
        payload += "VC-" + std::to_string(i) + " 1,";
    payload += "vc-0 0.25";
    auto table = std::make_unique<SpeakerTable>();
    build_speaker_table(*table, UpdateKind::update, payload);
    ASSERT_EQ(table->count, kMaxSpeakers);
    for (size_t i = 0; i < kMaxSpeakers; ++i) {
        const std::string lower = "vc-" + std::to_string(i);
        const SpeakerState *row = find(*table, lower);
        ASSERT_EQ(row, &table->rows[i]) << lower;
        EXPECT_EQ(row->gain, i == 0 ? 0.25f : 1.0f);
    }
    EXPECT_STREQ(table->rows[0].alias, "VC-0");
    EXPECT_EQ(find(*table, "VC-512"), nullptr);

    speaker_table_clear(*table);
    EXPECT_EQ(find(*table, "VC-0"), nullptr);
    EXPECT_STREQ(table->rows[0].alias, "VC-0"); // bytes stay, the row is gone
}
