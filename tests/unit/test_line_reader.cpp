#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../fuzz/fuzz_checks.h"
#include "falloff/line_reader.h"

using namespace mv;
using platform::IoStatus;

namespace {

using mvfuzz::Event;

struct Got {
    LineStatus status;
    std::string text; // all stored bytes, NULs included
    int error = 0;
    bool operator==(const Got &) const = default;
};

// Every result up to the stop that ends the script, receives cut into pieces
// of at most chunk bytes.
std::vector<Got> read_all(const std::vector<Event> &steps, size_t chunk) {
    mvfuzz::ScriptedSource source(steps, chunk);
    LineReader reader;
    std::vector<Got> got;
    for (;;) {
        const LineResult r = reader.next(source);
        EXPECT_EQ(r.text[r.length], '\0');
        got.push_back({r.status, std::string(r.text, r.length), r.error});
        if (r.status == LineStatus::stopped || got.size() > 100) return got;
    }
}

const std::string x(size_t n) {
    return std::string(n, 'x');
}

} // namespace

TEST(LineReader, FramesLinesTheSameForEveryChunkSize) {
    const auto line = LineStatus::line, closed = LineStatus::closed;
    const Got end{LineStatus::stopped, ""};
    const struct {
        const char *name;
        std::vector<Event> steps;
        std::vector<Got> want;
    } cases[] = {
        {"cr dropped anywhere",
         {{IoStatus::ok, "\ra\r\nb\rc\n\r\n"}},
         {{line, "a"}, {line, "bc"}, {line, ""}, end}},
        {"long line split",
         {{IoStatus::ok, x(20000) + "\n"}},
         {{line, x(8191)}, {line, x(8191)}, {line, x(3618)}, end}},
        {"full line then lf",
         {{IoStatus::ok, x(8191) + "\r\nz\n"}},
         {{line, x(8191)}, {line, ""}, {line, "z"}, end}},
        {"nul stored", {{IoStatus::ok, std::string("a\0b\n", 4)}}, {{line, std::string("a\0b", 3)}, end}},
        {"partial on timeout",
         {{IoStatus::ok, "par"}, {IoStatus::timeout, ""}, {IoStatus::timeout, ""}, {IoStatus::ok, "t\n"}},
         {{line, "par"}, {LineStatus::idle, ""}, {line, "t"}, end}},
        {"lone cr is no line",
         {{IoStatus::ok, "\r"}, {IoStatus::timeout, ""}},
         {{LineStatus::idle, ""}, end}},
        {"close discards partial",
         {{IoStatus::ok, "abc"}, {IoStatus::closed, ""}, {IoStatus::ok, "def\n"}},
         {{closed, "abc"}, {line, "def"}, end}},
        {"error keeps code",
         {{IoStatus::ok, "a\nb"}, {IoStatus::error, "", 104}},
         {{line, "a"}, {LineStatus::error, "b", 104}, end}},
        {"stop", {{IoStatus::ok, "xy"}, {IoStatus::stopped, ""}}, {{LineStatus::stopped, "xy"}}},
    };
    for (const auto &c : cases)
        for (size_t chunk : {1, 2, 7, 4096})
            EXPECT_EQ(read_all(c.steps, chunk), c.want) << c.name << " chunk " << chunk;
}
