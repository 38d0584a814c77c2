// The control parser's refusals: each reason, the answer's form, and that a
// refused line changes nothing.
#include <gtest/gtest.h>

#include "world_support.h"

namespace mvserver::test {
namespace {

// Everything a line could change, as text.
std::string snapshot(World &w) {
    std::string s =
        std::to_string(w.players()) + " players, " + std::to_string(w.walls().size()) + " walls\n";
    for (const char *alias : {"VC-A", "VC-B"}) {
        const Player &p = w.player(*w.find(alias));
        s += p.alias + " " + p.hash + " " + (p.address ? to_string(*p.address) : "-") + " " +
             std::to_string(p.range) + "\n" + update_for(w, Rules{}, alias, IndexKind::naive);
    }
    return s;
}

TEST(Control, RefusedLinesSayWhyAndChangeNothing) {
    const std::string long_alias(128, 'a'), long_hash(129, 'h'), long_id(65, 'w');
    const struct {
        std::string line;
        const char *reason; // nullptr: accepted, and nothing changes
    } cases[] = {
        {"jump VC-A", "unknown_command"},
        {"POS VC-A 1 2 3 0", "unknown_command"},
        {"pos VC-A 1 2 3", "bad_arguments"},
        {"player VC-A", "bad_arguments"},
        {"player VC-A h 127.0.0.1 extra", "bad_arguments"},
        {"sync now", "bad_arguments"},
        {"unhear VC-A", "bad_arguments"},
        {"pos VC-A 1 x 3 0", "bad_number"},
        {"pos VC-A nan 0 0 0", "bad_number"},
        {"pos VC-A 0 inf 0 0", "bad_number"},
        {"pos VC-A 0x10 0 0 0", "bad_number"},
        {"range VC-A 1,5", "bad_number"},
        {"pos VC-A 1e10 0 0 0", "out_of_range"},
        {"range VC-A 0", "out_of_range"},
        {"range VC-A -3", "out_of_range"},
        {"wall w1 0 0 1 1 1.5", "out_of_range"},
        {"hear VC-A VC-B 1.5 0 0 0", "out_of_range"},
        {"hear VC-A VC-B 1 -1.1 0 0", "out_of_range"},
        {"hear VC-A VC-B 1 0 0 2", "out_of_range"},
        {"player VC,C h", "bad_alias"},
        {"player " + long_alias + " h", "bad_alias"},
        {"player VC-\x01 h", "bad_alias"},
        {"player VC-C " + long_hash, "bad_hash"},
        {"player VC-C h\x7f", "bad_hash"},
        {"player VC-C h 300.1.2.3", "bad_address"},
        {"player VC-C h example.com", "bad_address"},
        {"wall " + long_id + " 0 0 1 1 0.5", "bad_wall_id"},
        {"pos VC-Z 0 0 0 0", "not_a_player"},
        {"range VC-Z 3", "not_a_player"},
        {"leave VC-Z", "not_a_player"},
        {"hear VC-A VC-Z 1 0 0 0", "not_a_player"},
        {"unhear VC-Z VC-A", "not_a_player"},
        {"hear VC-A vc-a 1 0 0 0", "same_player"},
        {"pos VC-A " + std::string(kMaxControlLine, '1'), "too_long"},
        {"", nullptr},
        {"  \t ", nullptr},
        {"# pos VC-A 9 9 9 9", nullptr},
        {"unwall no-such-wall", nullptr},
        {"unhear VC-A VC-B", nullptr},
        {"sync\r", nullptr},
    };
    World w(25);
    ASSERT_EQ(feed(w, {"player VC-A h1 10.0.0.1", "player VC-B h2", "pos VC-A 0 0 0 0", "pos VC-B 3 4 0 0",
                       "range VC-B 20", "wall w1 -5 2 5 2 0.5"}),
              std::vector<std::string>(6, ""));
    const std::string before = snapshot(w);
    for (const auto &c : cases) {
        const ControlResult r = execute_control(w, c.line, kNow + std::chrono::seconds(1));
        EXPECT_STREQ(r.refused, c.reason) << c.line.substr(0, 60);
        EXPECT_FALSE(r.close_slot.has_value()) << c.line.substr(0, 60);
        EXPECT_EQ(snapshot(w), before) << c.line.substr(0, 60);
    }
}

TEST(Control, ARefusalEchoesTheLineCut) {
    std::string out;
    append_refusal(out, "bad_number", "pos VC-A x 0 0 0");
    append_refusal(out, "too_long", std::string(5000, 'p'));
    EXPECT_EQ(out, "ERR bad_number: pos VC-A x 0 0 0\nERR too_long: " + std::string(256, 'p') + "\n");
}

} // namespace
} // namespace mvserver::test
