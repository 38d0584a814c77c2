// The parts of the platform seam that the plugin-level suites do not reach:
// files at non-ASCII paths and what may stand at a path, and waiting on two
// events at once (sockets, threads and stops are exercised end to end).
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#if !defined(_WIN32)
#include <sys/stat.h>

#include "platform/posix/memory_map.h"
#endif

namespace p = mv::platform;
namespace fs = std::filesystem;

namespace {

std::string utf8(const fs::path &path) {
    const std::u8string s = path.u8string();
    return std::string(s.begin(), s.end());
}

std::string contents(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

TEST(PlatformFiles, OnlyRegularFilesOpenAndNonAsciiNamesWork) {
    // Its own name: the suites of other builds run this test at the same time.
    std::random_device random;
    const fs::path dir = (fs::temp_directory_path() / fs::path(u8"mv_тест_платформы")) +=
        "_" + std::to_string(random());
    fs::remove_all(dir);
    ASSERT_TRUE(fs::create_directories(dir / "folder"));
    const fs::path file = dir / fs::path(u8"журнал.log");
    std::ofstream(file, std::ios::binary) << "old";
#if !defined(_WIN32)
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
#endif
    const struct {
        fs::path path;
        p::FileMode mode;
        p::FileOpen want;
        const char *after; // the file's contents once written to, if it opened
    } cases[] = {
        {file, p::FileMode::read, p::FileOpen::ok, "old"},
        {file, p::FileMode::append, p::FileOpen::ok, "old+"},
        {file, p::FileMode::truncate, p::FileOpen::ok, "+"},
        {dir / "missing", p::FileMode::read, p::FileOpen::missing, nullptr},
        {dir / "created", p::FileMode::append, p::FileOpen::ok, "+"},
        {dir / "folder", p::FileMode::read, p::FileOpen::not_regular, nullptr},
        {dir / "folder", p::FileMode::append, p::FileOpen::not_regular, nullptr},
#if !defined(_WIN32)
        // Opening a FIFO with no writer, or no reader, would otherwise block or fail.
        {dir / "fifo", p::FileMode::read, p::FileOpen::not_regular, nullptr},
        {dir / "fifo", p::FileMode::append, p::FileOpen::not_regular, nullptr},
        {"/dev/zero", p::FileMode::read, p::FileOpen::not_regular, nullptr},
#endif
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(utf8(c.path) + " mode " + std::to_string(static_cast<int>(c.mode)));
        p::FileOpen got = p::FileOpen::failed;
        std::FILE *f = p::file_open_regular(utf8(c.path).c_str(), c.mode, &got);
        EXPECT_EQ(got, c.want);
        EXPECT_EQ(f != nullptr, c.after != nullptr);
        if (f == nullptr) continue;
        if (c.mode != p::FileMode::read) std::fputs("+", f);
        std::fclose(f);
        EXPECT_EQ(contents(c.path), c.after);
    }
    // Moving a log aside, over an older one, by names the ANSI calls cannot spell.
    EXPECT_TRUE(p::file_replace(utf8(file).c_str(), utf8(dir / fs::path(u8"журнал.log.1")).c_str()));
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(contents(dir / fs::path(u8"журнал.log.1")), "+");
    EXPECT_FALSE(p::file_replace(utf8(file).c_str(), utf8(dir / "x").c_str()));
    fs::remove_all(dir);
}

// The worker waits for a name lookup and for its stop together: whichever
// comes first ends the wait, the first argument winning a tie.
TEST(PlatformEvent, WaitOnEitherOfTwo) {
    const struct {
        bool first, second, later_first;
        uint32_t timeout_ms;
        int want;
    } cases[] = {
        {false, false, false, 20, -1}, {true, false, false, 0, 0},          {false, true, false, 0, 1},
        {true, true, false, 0, 0},     {false, false, true, UINT32_MAX, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.want);
        p::Event *a = p::event_create();
        p::Event *b = p::event_create();
        ASSERT_TRUE(a != nullptr && b != nullptr);
        if (c.first) p::event_set(a);
        if (c.second) p::event_set(b);
        std::thread setter([&] {
            if (c.later_first) p::event_set(a);
        });
        EXPECT_EQ(p::event_wait_either(a, b, c.timeout_ms), c.want);
        setter.join();
        EXPECT_EQ(p::event_wait(a, 0), c.first || c.later_first); // manual reset: still set
        p::event_destroy(a);
        p::event_destroy(b);
    }
}

#if !defined(_WIN32)
// A line of the process's memory map: the file over an address, its name the
// rest of the line whatever it holds, and whether it is gone.
TEST(MemoryMap, TheFileOverAnAddress) {
    const struct {
        const char *line;
        uint64_t address;
        const char *path; // null: not a file over that address
        bool deleted = false;
    } cases[] = {
        {"7f00-7f80 r-xp 00001000 fe:01 42    /home/a b/x.so\n", 0x7f00, "/home/a b/x.so"},
        {"7f00-7f80 r-xp 00001000 fe:01 42    /home/a b/x.so\n", 0x7f80, nullptr},
        {"7f00-7f80 r-xp 00001000 fe:01 42    /tmp/x.so (deleted)\n", 0x7f7f, "/tmp/x.so (deleted)", true},
        {"7f00-7f80 rw-p 00000000 00:00 0    [heap]\n", 0x7f10, nullptr},
        {"7f00-7f80 rw-p 00000000 00:00 0\n", 0x7f10, nullptr},
        {"garbage", 0, nullptr},
    };
    for (const auto &c : cases) {
        p::MappedFile got{};
        ASSERT_EQ(p::maps_line_holds(c.line, c.address, got), c.path != nullptr) << c.line;
        if (c.path == nullptr) continue;
        EXPECT_STREQ(got.path, c.path);
        EXPECT_EQ(got.deleted, c.deleted);
        EXPECT_EQ(got.dev_major * 256 + got.dev_minor, 0xfe01u);
        EXPECT_EQ(got.inode, 42u);
        p::strip_deleted(got);
        EXPECT_EQ(std::string(got.path).find(" (deleted)"), std::string::npos);
    }
}
#endif
