// The install bundle's manifest rules and the DLL reader.
#include <gtest/gtest.h>

#include "bundle/manifest.h"
#include "bundle/pe.h"
#include "common/roster.h"

namespace mvtools {
namespace {

const std::string kGood = R"(<bundle version="1.0.0">
  <assets>
    <plugin os="windows" arch="x64">marlpike_voice.dll</plugin>
    <plugin os="linux" arch="x64">libmarlpike_voice.so</plugin>
  </assets>
  <name>Marlpike Voice</name>
  <version>0.5.4</version>
</bundle>)";

std::string replaced(std::string s, const std::string &from, const std::string &to) {
    s.replace(s.find(from), from.size(), to);
    return s;
}

TEST(Manifest, AcceptsTheBundleWeShip) {
    Manifest m;
    EXPECT_TRUE(check_manifest("<?xml version=\"1.0\"?>\n<!-- ours -->\n" + kGood, &m).empty());
    EXPECT_EQ(m.name, "Marlpike Voice");
    EXPECT_EQ(m.version, "0.5.4");
    ASSERT_EQ(m.assets.size(), 2u);
    EXPECT_EQ(m.assets[0].os, "windows");
    EXPECT_EQ(m.assets[1].path, "libmarlpike_voice.so");
}

TEST(Manifest, ReportsWhatTheHostWouldRefuse) {
    const std::pair<std::string, std::string> cases[] = {
        {replaced(kGood, "version=\"1.0.0\"", "version=\"2.0.0\""), "version=\"1.0.0\""},
        {replaced(kGood, "<version>0.5.4</version>", "<version>0.5</version>"), "major.minor.patch"},
        {replaced(kGood, "<name>Marlpike Voice</name>", ""), "<name> is missing"},
        {replaced(kGood, "<name>Marlpike Voice</name>", "<name> </name>"), "<name> is empty"},
        {replaced(kGood, "os=\"linux\"", "os=\"Linux\""), "not windows, linux or macos"},
        {replaced(kGood, "arch=\"x64\">libm", "arch=\"amd64\">libm"), "not x64, x86 or arm64"},
        {replaced(kGood, ">marlpike_voice.dll<", ">bin\\marlpike_voice.dll<"), "backslashes"},
        {replaced(kGood, ">marlpike_voice.dll<", ">../marlpike_voice.dll<"), "leaves the bundle"},
        {replaced(kGood, "os=\"linux\"", "os=\"windows\""), "two libraries for windows x64"},
        {replaced(kGood, "<bundle", "<plugin-bundle"), "not well-formed"},
        {replaced(kGood, "</assets>", "</asset>"), "not well-formed"},
        {replaced(kGood, "<name>", "<extra/><name>"), "unexpected element <extra>"},
    };
    for (const auto &[xml, why] : cases) {
        Manifest m;
        const auto problems = check_manifest(xml, &m);
        std::string all;
        for (const auto &p : problems)
            all += p + "; ";
        EXPECT_NE(all.find(why), std::string::npos) << "wanted '" << why << "', got: " << all;
    }
}

TEST(Pe, RefusesWhatIsNotAnImage) {
    const std::string cases[] = {"", "MZ", std::string("MZ") + std::string(62, '\0'),
                                 "\x7f"
                                 "ELF"};
    for (const std::string &bytes : cases) {
        PeInfo info;
        std::string error;
        EXPECT_FALSE(read_pe(bytes, &info, &error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(Pe, ReadsTheWindowsProbe) {
#if defined(MV_WINDOWS_PROBE)
    std::string bytes;
    ASSERT_TRUE(read_text_file(MV_WINDOWS_PROBE, &bytes));
    PeInfo info;
    std::string error;
    ASSERT_TRUE(read_pe(bytes, &info, &error)) << error;
    EXPECT_TRUE(info.x64);
    EXPECT_FALSE(info.dll); // a program, not a library
    bool kernel32 = false;
    for (const auto &name : info.imports)
        kernel32 = kernel32 || name == "KERNEL32.dll";
    EXPECT_TRUE(kernel32);
    EXPECT_TRUE(foreign_imports(info).empty()); // linked statically
    PeInfo faked = info;
    faked.imports.push_back("libstdc++-6.dll");
    ASSERT_EQ(foreign_imports(faked).size(), 1u);
#else
    GTEST_SKIP() << "no mingw-w64 compiler: the Windows probe was not built";
#endif
}

} // namespace
} // namespace mvtools
