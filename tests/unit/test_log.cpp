#include "log/log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "log_fixture.h"
#include "platform/platform.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace {

using namespace mvunit;

std::vector<std::string> g_host_lines;
void capture_host_line(const char *line) {
    g_host_lines.emplace_back(line);
}

class LogTest : public LogFileTest {
  protected:
    void SetUp() override {
        LogFileTest::SetUp();
        g_host_lines.clear();
    }
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
}

TEST_F(LogTest, FileLogAppendsStampedLines) {
    { std::ofstream(path_, std::ios::binary) << "earlier\r\n"; }
    const std::string long_message(1500, 'w');
    mv::file_log("hello %d %s", 42, "x");
    mv::file_log("%s", long_message.c_str()); // the file log sets no length limit
    mv::file_log_text_at(86400 * 365, "100% given %d");

    const std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], "earlier");
    for (size_t i = 1; i < got.size(); ++i)
        EXPECT_TRUE(looks_like_stamp(got[i])) << i;
    EXPECT_EQ(got[1].substr(kStampLen), "hello 42 x");
    EXPECT_EQ(got[2].substr(kStampLen), long_message);
    EXPECT_EQ(got[3], stamp_at(86400 * 365) + "100% given %d");
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

TEST_F(LogTest, RotatesPastLimitAndNeverGrowsWithoutBound) {
    const fs::path rotated = path_.string() + ".1";
    const std::string refused =
        "log_rotate_failed; the earlier lines could not be moved aside and were dropped";
    struct Case {
        long existing_bytes;
        bool rotated_is_a_folder; // in the way of the move: the log starts afresh
        std::vector<std::string> want;
    } cases[] = {
        {mv::kLogRotateBytes, false, {}},
        {mv::kLogRotateBytes + 1, false, {"after rotation"}},
        {mv::kLogRotateBytes + 1, true, {refused, "after rotation"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.want.size());
        fs::remove_all(rotated);
        if (c.rotated_is_a_folder)
            fs::create_directories(rotated);
        else
            std::ofstream(rotated, std::ios::binary) << "stale\r\n";
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << std::string(c.existing_bytes, 'z');
        mv::file_log("after %s", "rotation");
        if (c.want.empty()) { // under the limit: appended, nothing moved
            EXPECT_EQ(read_file(rotated), "stale\r\n");
            EXPECT_GT(fs::file_size(path_), static_cast<uintmax_t>(c.existing_bytes));
            continue;
        }
        EXPECT_EQ(messages(), c.want);
        if (!c.rotated_is_a_folder) {
            EXPECT_EQ(fs::file_size(rotated), static_cast<uintmax_t>(c.existing_bytes));
        }
    }
}

TEST_F(LogTest, TheKeyNeverReachesEitherLog) {
    mv::log_set_host_sink(capture_host_line);
    const std::string key = "lk-Zp4Qe7";
    mv::log_set_secret(key.c_str());
    // At the main log's cut, only a masked key may stand; not its first half.
    const std::string at_cut = std::string(1018, 'p') + key;
    // A server that folds case may quote it more than once.
    mv::main_log("reply=%s", ("HELLO2 " + key + " VC-Me LK-ZP4QE7").c_str());
    mv::main_log("%s", at_cut.c_str());
    mv::file_log("%s%s %s", std::string(5000, 'f').c_str(), key.c_str(), "LK-zp4qe7"); // a long line
    mv::file_log_text_at(0, key.c_str());
    mv::log_set_secret("");

    EXPECT_EQ(g_host_lines[0], "[marlpike_voice] reply=HELLO2 <api_key> VC-Me <api_key>");
    EXPECT_EQ(g_host_lines[1], "[marlpike_voice] " + std::string(1018, 'p') + "<api_");
    const std::vector<std::string> got = messages();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], "reply=HELLO2 <api_key> VC-Me <api_key>");
    EXPECT_EQ(got[2], std::string(5000, 'f') + "<api_key> <api_key>");
    EXPECT_EQ(got[3], "<api_key>");
    EXPECT_EQ(read_file(path_).find("Zp4Qe7"), std::string::npos);
    EXPECT_EQ(read_file(path_).find("ZP4QE7"), std::string::npos);
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
