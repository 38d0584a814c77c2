// The real file log pointed at a fresh directory of the test's own, read back
// line by line: for the tests of everything that writes log lines.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "log/log.h"
#include "platform/platform.h"

namespace mvunit {

namespace fs = std::filesystem;

inline constexpr size_t kStampLen = 22; // "[YYYY-MM-DD hh:mm:ss] "

inline std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool looks_like_stamp(const std::string &line) {
    const char *shape = "[dddd-dd-dd dd:dd:dd] ";
    if (line.size() < kStampLen) return false;
    for (size_t i = 0; i < kStampLen; ++i)
        if (shape[i] == 'd' ? !(line[i] >= '0' && line[i] <= '9') : line[i] != shape[i]) return false;
    return true;
}

inline std::string stamp_at(int64_t when) {
    std::tm t{};
    EXPECT_TRUE(mv::platform::local_time(when, &t));
    char buf[32];
    mv::format_timestamp(buf, sizeof buf, t);
    return buf;
}

class LogFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::random_device random;
        dir_ = fs::temp_directory_path() / ("mv_unit_" + std::to_string(random()) + std::to_string(random()));
        fs::create_directories(dir_);
        path_ = dir_ / "marlpike_voice.log";
        mv::log_configure(true, path_.string().c_str());
    }
    void TearDown() override {
        mv::log_configure(false, "");
        mv::log_set_host_sink(nullptr);
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    // Every line of the file without its "\r\n", which each must end in.
    std::vector<std::string> lines() const {
        const std::string text = read_file(path_);
        std::vector<std::string> out;
        size_t start = 0;
        for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
            out.push_back(text.substr(start, end - start));
        EXPECT_EQ(start, text.size()) << "text after the last line end";
        return out;
    }
    // The lines without their time stamps; new_only: those not returned before.
    std::vector<std::string> messages(bool new_only = false) {
        std::vector<std::string> out;
        const std::vector<std::string> all = lines();
        for (size_t i = new_only ? seen_ : 0; i < all.size(); ++i) {
            EXPECT_TRUE(looks_like_stamp(all[i])) << all[i].substr(0, 40);
            out.push_back(all[i].substr(kStampLen));
        }
        seen_ = all.size();
        return out;
    }

    fs::path dir_;
    fs::path path_;
    size_t seen_ = 0;
};

} // namespace mvunit
