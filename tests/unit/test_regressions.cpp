// The fuzz targets' checks, replayed on every platform over the seed corpora
// in tests/fuzz/corpus. Inputs that once broke a check are kept there too
// (named after what they found), so each stays a regression test.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "../fuzz/fuzz_checks.h"

namespace {

namespace fs = std::filesystem;

// The corpus directory of one target, as this process can reach it (under
// Wine the build tree's Linux paths are on drive Z:).
fs::path corpus(const std::string &target) {
    std::string dir = MV_TEST_VECTORS "/../fuzz/corpus/" + target;
#if defined(_WIN32)
    if (!dir.empty() && dir[0] == '/') dir = "Z:" + dir;
#endif
    return fs::path(dir);
}

using Check = std::string (*)(const uint8_t *, size_t);

struct Target {
    const char *name;
    Check check;
};

// Test names in CTest show the case's name, not its bytes.
void PrintTo(const Target &c, std::ostream *out) {
    *out << c.name;
}

class FuzzCorpus : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzCorpus, EveryInputKeepsTheRules) {
    const Target &t = GetParam();
    size_t inputs = 0;
    std::error_code ec;
    for (const fs::directory_entry &entry : fs::directory_iterator(corpus(t.name), ec)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(t.check(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()), "")
            << entry.path().filename().string();
        ++inputs;
    }
    EXPECT_GT(inputs, 0u) << "no corpus at " << corpus(t.name).string() << ": " << ec.message();
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzCorpus,
                         ::testing::Values(Target{"line_framing", &mvfuzz::check_line_framing},
                                           Target{"update_lines", &mvfuzz::check_update_lines},
                                           Target{"settings_file", &mvfuzz::check_settings_file}),
                         [](const ::testing::TestParamInfo<Target> &info) {
                             return std::string(info.param.name);
                         });

} // namespace
