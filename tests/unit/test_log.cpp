#include "log/log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr size_t kStampLen = 22;

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Splits on "\r\n"; every line must end in it.
std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    EXPECT_EQ(start, text.size()) << "text after the last line end";
    return lines;
}

bool looks_like_stamp(const std::string &line) {
    if (line.size() < kStampLen) return false;
    const char *shape = "[dddd-dd-dd dd:dd:dd] ";
    for (size_t i = 0; i < kStampLen; ++i) {
        bool ok = shape[i] == 'd' ? (line[i] >= '0' && line[i] <= '9') : line[i] == shape[i];
        if (!ok) return false;
    }
    return true;
}

std::string stamp_at(int64_t when) {
    std::tm t{};
    EXPECT_TRUE(mv::platform::local_time(when, &t));
    char buf[32];
    mv::format_timestamp(buf, sizeof buf, t);
    return buf;
}

std::vector<std::string> g_host_lines;
void capture_host_line(const char *line) {
    g_host_lines.emplace_back(line);
}

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::random_device random;
        dir_ = fs::temp_directory_path() /
               ("mv_log_" + std::to_string(random()) + "_" + std::to_string(random()));
        fs::create_directories(dir_);
        path_ = dir_ / "marlpike_voice.log";
        mv::log_configure(true, path_.string().c_str());
        g_host_lines.clear();
    }
    void TearDown() override {
        mv::log_configure(false, "");
        mv::log_set_host_sink(nullptr);
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    std::vector<std::string> messages() {
        std::vector<std::string> out;
        for (const std::string &line : lines_of(read_file(path_))) {
            EXPECT_TRUE(looks_like_stamp(line)) << line.substr(0, 40);
            out.push_back(line.substr(kStampLen));
        }
        return out;
    }

    fs::path dir_;
    fs::path path_;
};

TEST(LogTimestamp, Format) {
    struct Case {
        int year, mon, mday, hour, min, sec;
        const char *want;
    } cases[] = {
        {124, 2, 5, 7, 8, 9, "[2024-03-05 07:08:09] "},
        {0, 0, 1, 0, 0, 0, "[1900-01-01 00:00:00] "},
    };
    for (const Case &c : cases) {
        std::tm t{};
        t.tm_year = c.year;
        t.tm_mon = c.mon;
        t.tm_mday = c.mday;
        t.tm_hour = c.hour;
        t.tm_min = c.min;
        t.tm_sec = c.sec;
        char buf[32];
        EXPECT_EQ(mv::format_timestamp(buf, sizeof buf, t), kStampLen);
        EXPECT_STREQ(buf, c.want);
    }
    // A short buffer is cut and terminated.
    std::tm t{};
    char small[10];
    EXPECT_EQ(mv::format_timestamp(small, sizeof small, t), 9u);
    EXPECT_STREQ(small, "[1900-01-");
}

TEST_F(LogTest, FileLogAppendsStampedLines) {
    { std::ofstream(path_, std::ios::binary) << "earlier\r\n"; }
    const std::string long_message(1500, 'w');
    mv::file_log("hello %d %s", 42, "x");
    mv::file_log("%s", long_message.c_str()); // the file log sets no length limit
    mv::file_log_text_at(86400 * 365, "100% given %d");

    std::vector<std::string> lines = lines_of(read_file(path_));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "earlier");
    for (size_t i = 1; i < lines.size(); ++i)
        EXPECT_TRUE(looks_like_stamp(lines[i])) << i;
    EXPECT_EQ(lines[1].substr(kStampLen), "hello 42 x");
    EXPECT_EQ(lines[2].substr(kStampLen), long_message);
    EXPECT_EQ(lines[3], stamp_at(86400 * 365) + "100% given %d");
}

TEST_F(LogTest, OffOrUnusablePathWritesNothing) {
    mv::log_set_host_sink(capture_host_line);
    const fs::path missing_dir = dir_ / "missing" / "marlpike_voice.log";
    struct Case {
        bool debug_log;
        std::string path;
        fs::path watch; // must not come into being
    } cases[] = {
        {false, path_.string(), path_},
        {true, "", path_},
        {true, missing_dir.string(), missing_dir},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        g_host_lines.clear();
        mv::log_configure(c.debug_log, c.path.c_str());
        mv::file_log("file %d", 1);
        mv::file_log_text_at(0, "text");
        mv::main_log("main %d", 2);
        EXPECT_FALSE(fs::exists(c.watch));
        // The host's log does not depend on the file.
        ASSERT_EQ(g_host_lines.size(), 1u);
        EXPECT_EQ(g_host_lines[0], "[marlpike_voice] main 2");
    }
}

TEST_F(LogTest, MainLogCutsAndKeepsPercent) {
    mv::log_set_host_sink(capture_host_line);
    const std::string long_message(1500, 'm');
    mv::main_log("%s", long_message.c_str());
    mv::main_log("50%% done: %s", "100% sure %d %s");

    const std::string cut(1023, 'm');
    ASSERT_EQ(g_host_lines.size(), 2u);
    EXPECT_EQ(g_host_lines[0], "[marlpike_voice] " + cut);
    EXPECT_EQ(g_host_lines[1], "[marlpike_voice] 50% done: 100% sure %d %s");
    EXPECT_EQ(messages(), (std::vector<std::string>{cut, "50% done: 100% sure %d %s"}));

    // Without a sink the line still reaches the file.
    mv::log_set_host_sink(nullptr);
    mv::main_log("file only");
    EXPECT_EQ(messages().back(), "file only");
    EXPECT_EQ(g_host_lines.size(), 2u);
}

TEST_F(LogTest, RotatesPastLimit) {
    const fs::path rotated = path_.string() + ".1";
    struct Case {
        long existing_bytes;
        bool rotates;
    } cases[] = {
        {mv::kLogRotateBytes, false},
        {mv::kLogRotateBytes + 1, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.existing_bytes);
        { std::ofstream(rotated, std::ios::binary) << "stale\r\n"; }
        {
            std::ofstream out(path_, std::ios::binary | std::ios::trunc);
            out << std::string(static_cast<size_t>(c.existing_bytes), 'z');
        }
        mv::file_log("after %s", "rotation");
        if (c.rotates) {
            EXPECT_EQ(fs::file_size(rotated), static_cast<uintmax_t>(c.existing_bytes));
            EXPECT_EQ(messages(), std::vector<std::string>{"after rotation"});
        } else {
            EXPECT_EQ(read_file(rotated), "stale\r\n");
            EXPECT_GT(fs::file_size(path_), static_cast<uintmax_t>(c.existing_bytes));
        }
    }
}

TEST_F(LogTest, TheKeyNeverReachesEitherLog) {
    mv::log_set_host_sink(capture_host_line);
    const std::string key = "lk-Zp4Qe7";
    mv::log_set_secret(key.c_str());
    // At the main log's cut, only a masked key may stand; not its first half.
    const std::string at_cut = std::string(1018, 'p') + key;
    mv::main_log("reply=%s", ("HELLO2 " + key + " VC-Me").c_str());
    mv::main_log("%s", at_cut.c_str());
    mv::file_log("%s%s", std::string(5000, 'f').c_str(), key.c_str()); // a long line, formatted apart
    mv::file_log_text_at(0, key.c_str());
    mv::log_set_secret("");

    EXPECT_EQ(g_host_lines[0], "[marlpike_voice] reply=HELLO2 <api_key> VC-Me");
    EXPECT_EQ(g_host_lines[1], "[marlpike_voice] " + std::string(1018, 'p') + "<api_");
    const std::vector<std::string> got = messages();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[2], std::string(5000, 'f') + "<api_key>");
    EXPECT_EQ(got[3], "<api_key>");
    EXPECT_EQ(read_file(path_).find("Zp4Qe7"), std::string::npos);
}

#if !defined(_WIN32)
TEST_F(LogTest, ALogPathThatIsNoRegularFileNeverBlocksAndIsToldOnce) {
    mv::log_set_host_sink(capture_host_line);
    fs::remove(path_);
    ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
    mv::log_configure(true, path_.string().c_str());
    mv::file_log("one");
    mv::main_log("two");
    ASSERT_EQ(g_host_lines.size(), 2u);
    EXPECT_EQ(g_host_lines[0], "[marlpike_voice] the log file " + path_.string() +
                                   " is not a regular file; nothing is written to it");
    EXPECT_EQ(g_host_lines[1], "[marlpike_voice] two");
}
#endif

TEST_F(LogTest, ALogThatCannotBeMovedAsideStartsAfresh) {
    fs::create_directories(path_.string() + ".1"); // in the way of the move
    { std::ofstream(path_, std::ios::binary) << std::string(mv::kLogRotateBytes + 1, 'z'); }
    mv::file_log("after");
    EXPECT_EQ(
        messages(),
        (std::vector<std::string>{
            "log_rotate_failed; the earlier lines could not be moved aside and were dropped", "after"}));
}

TEST_F(LogTest, ConcurrentLinesNeverMix) {
    // Lines longer than a stdio buffer reach the file in several writes, so
    // without serialisation they would interleave.
    constexpr int kThreads = 4;
    constexpr int kLines = 100;
    constexpr size_t kWidth = 6000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const std::string body(kWidth, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) {
                if (i % 2 == 0)
                    mv::file_log("%s", body.c_str());
                else
                    mv::main_log("%s", body.c_str()); // cut to 1023 characters
            }
        });
    }
    for (std::thread &th : threads)
        th.join();

    int counts[kThreads] = {};
    for (const std::string &m : messages()) {
        ASSERT_FALSE(m.empty());
        int t = m[0] - 'a';
        ASSERT_TRUE(t >= 0 && t < kThreads);
        ASSERT_TRUE(m.size() == kWidth || m.size() == 1023) << m.size();
        ASSERT_EQ(m.find_first_not_of(m[0]), std::string::npos);
        ++counts[t];
    }
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(counts[t], kLines);
}

} // namespace
