#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "falloff/line_reader.h"

using namespace mv;
using platform::IoStatus;

namespace {

struct Step {
    IoStatus status;
    std::string bytes; // delivered for ok, in pieces of at most chunk bytes
    int error = 0;
};

// Plays a script of receives; once it is played out the peer has closed.
class ScriptSource final : public ByteSource {
  public:
    ScriptSource(std::vector<Step> steps, size_t chunk) : steps_(std::move(steps)), chunk_(chunk) {}
    platform::IoResult read(char *buf, size_t cap) noexcept override {
        if (done()) return {IoStatus::closed, 0, 0};
        const Step &s = steps_[i_];
        if (s.status != IoStatus::ok) {
            ++i_;
            return {s.status, 0, s.error};
        }
        const size_t n = std::min({chunk_, cap, s.bytes.size() - off_});
        std::memcpy(buf, s.bytes.data() + off_, n);
        if ((off_ += n) == s.bytes.size()) ++i_, off_ = 0;
        return {IoStatus::ok, n, 0};
    }
    bool done() const { return i_ == steps_.size(); }

  private:
    std::vector<Step> steps_;
    size_t chunk_;
    size_t i_ = 0, off_ = 0;
};

struct Got {
    LineStatus status;
    std::string text; // all stored bytes, NULs included
    int error = 0;
    bool operator==(const Got &) const = default;
};

std::vector<Got> read_all(const std::vector<Step> &steps, size_t chunk) {
    ScriptSource source(steps, chunk);
    LineReader reader;
    std::vector<Got> got;
    for (;;) {
        const LineResult r = reader.next(source);
        EXPECT_EQ(r.text[r.length], '\0');
        got.push_back({r.status, std::string(r.text, r.length), r.error});
        if (source.done() && r.status != LineStatus::line && r.status != LineStatus::idle) return got;
    }
}

const std::string x(size_t n) {
    return std::string(n, 'x');
}

} // namespace

TEST(LineReader, FramesLinesTheSameForEveryChunkSize) {
    const auto line = LineStatus::line, closed = LineStatus::closed;
    const Got end{closed, ""};
    const struct {
        const char *name;
        std::vector<Step> steps;
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
         {{line, "a"}, {LineStatus::error, "b", 104}}},
        {"stop", {{IoStatus::ok, "xy"}, {IoStatus::stopped, ""}}, {{LineStatus::stopped, "xy"}}},
    };
    for (const auto &c : cases)
        for (size_t chunk : {1, 2, 7, 4096})
            EXPECT_EQ(read_all(c.steps, chunk), c.want) << c.name << " chunk " << chunk;
}
