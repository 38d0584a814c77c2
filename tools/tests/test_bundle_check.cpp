// marlpike-bundle-check as a program, on bundles made wrong on purpose.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

const std::string kManifest = R"(<bundle version="1.0.0"><assets>
<plugin os="linux" arch="x64">libmarlpike_voice.so</plugin></assets>
<name>Marlpike Voice</name><version>0.5.4</version></bundle>)";

std::string with(std::string s, const std::string &from, const std::string &to) {
    return s.replace(s.find(from), from.size(), to);
}

TEST(BundleCheck, PassesAGoodBundleAndNamesEachFault) {
    const fs::path dir = fs::temp_directory_path() / ("marlpike-bundle-check-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::ifstream in(MV_PLUGIN_LIBRARY, std::ios::binary);
    const std::string lib(std::istreambuf_iterator<char>(in), {});
    const struct {
        std::string bundle, manifest, library; // no manifest, no library: left out of the bundle
        int status;
        std::string says;
    } cases[] = {
        {"good.mumble_plugin", kManifest, lib, 0, "bundle ok"},
        {"wrong.zip", kManifest, lib, 1, "must end in .mumble_plugin"},
        {"nomanifest.mumble_plugin", "", lib, 1, "no manifest.xml"},
        {"nolib.mumble_plugin", kManifest, "", 1, "not in the bundle"},
        {"notalib.mumble_plugin", kManifest, "text", 1, "not a 64-bit little-endian ELF"},
        {"version.mumble_plugin", with(kManifest, "0.5.4", "0.5.3"), lib, 1,
         "reports version 0.5.4, the manifest says 0.5.3"},
        {"path.mumble_plugin", with(kManifest, ">lib", ">../lib"), lib, 1, "leaves the bundle"},
    };
    for (const auto &c : cases) {
        const fs::path stage = dir / (c.bundle + ".d"), out = dir / (c.bundle + ".txt");
        fs::create_directories(stage);
        std::ofstream(stage / "manifest.xml") << c.manifest;
        std::ofstream(stage / "libmarlpike_voice.so", std::ios::binary) << c.library;
        const std::string run = "cd '" + stage.string() + "' && find . -empty -delete && zip -q -X ../'" +
                                c.bundle + "' * && '" MV_BUNDLE_CHECK "' ../'" + c.bundle +
                                "' --probe '" MV_PROBE "' >'" + out.string() + "' 2>&1";
        const int status = std::system(run.c_str());
        std::ifstream said(out);
        const std::string output(std::istreambuf_iterator<char>(said), {});
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.status) << c.bundle << "\n" << output;
        EXPECT_NE(output.find(c.says), std::string::npos) << c.bundle << "\n" << output;
    }
    fs::remove_all(dir);
}

// As scripts/bundle.sh packs it, with the Windows build's DLL.
TEST(BundleCheck, PassesTheBundleWeShip) {
    if (!fs::exists(MV_WINDOWS_DLL)) GTEST_SKIP() << "no Windows build at " MV_WINDOWS_DLL;
    // Per process: the suites of other builds pack theirs at the same time.
    const std::string bundle =
        (fs::temp_directory_path() / ("marlpike-shipped-" + std::to_string(::getpid()) + ".mumble_plugin"))
            .string();
    EXPECT_EQ(
        std::system(
            ("bash '" MV_SOURCE_DIR "/scripts/bundle.sh' '" MV_PLUGIN_LIBRARY "' '" MV_WINDOWS_DLL "' '" +
             bundle + "' && '" MV_BUNDLE_CHECK "' '" + bundle + "' --probe '" MV_PROBE "' " MV_CHECK_ARGS)
                .c_str()),
        0);
    fs::remove(bundle);
}

} // namespace
