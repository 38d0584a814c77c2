// marlpike-bundle-check as a program, on bundles made wrong on purpose.
#include <gtest/gtest.h>

#include <cstdio>
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

// Zips the files (name, bytes) into dir/bundle and checks it: the exit status
// and what the checker said.
std::pair<int, std::string> check(const fs::path &dir, const std::string &bundle,
                                  const std::vector<std::pair<std::string, std::string>> &files) {
    const fs::path stage = dir / (bundle + ".stage");
    fs::create_directories(stage);
    std::string pack = "cd '" + stage.string() + "' && zip -q -X '" + (dir / bundle).string() + "'";
    for (const auto &[name, bytes] : files) {
        std::ofstream(stage / name, std::ios::binary) << bytes;
        pack += " '" + name + "'";
    }
    EXPECT_EQ(std::system(pack.c_str()), 0);
    std::FILE *p = popen(
        ("'" MV_BUNDLE_CHECK "' '" + (dir / bundle).string() + "' --probe '" MV_PROBE "' 2>&1").c_str(), "r");
    std::string out;
    char buf[1024];
    for (size_t n = 0; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    const int status = pclose(p);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

TEST(BundleCheck, PassesAGoodBundleAndNamesEachFault) {
    const fs::path dir = fs::temp_directory_path() / ("marlpike-bundle-check-" + std::to_string(::getpid()));
    std::ifstream in(MV_PLUGIN_LIBRARY, std::ios::binary);
    const std::string lib(std::istreambuf_iterator<char>(in), {});
    ASSERT_FALSE(lib.empty());
    const struct {
        std::string bundle, manifest, library; // an empty library is left out of the bundle
        int status;
        std::string says;
    } cases[] = {
        {"good.mumble_plugin", kManifest, lib, 0, "bundle ok"},
        {"wrong.zip", kManifest, lib, 1, "must end in .mumble_plugin"},
        {"nolib.mumble_plugin", kManifest, "", 1, "not in the bundle"},
        {"notalib.mumble_plugin", kManifest, "text", 1, "not a 64-bit little-endian ELF"},
        {"version.mumble_plugin", with(kManifest, "0.5.4", "0.5.3"), lib, 1,
         "reports version 0.5.4, the manifest says 0.5.3"},
        {"os.mumble_plugin", with(kManifest, "linux", "Linux"), lib, 1, "not windows, linux or macos"},
        {"path.mumble_plugin", with(kManifest, ">lib", ">../lib"), lib, 1, "leaves the bundle"},
        {"xml.mumble_plugin", with(kManifest, "</assets>", "</asset>"), lib, 1, "not well-formed"},
    };
    for (const auto &c : cases) {
        std::vector<std::pair<std::string, std::string>> files{{"manifest.xml", c.manifest}};
        if (!c.library.empty()) files.emplace_back("libmarlpike_voice.so", c.library);
        const auto [status, output] = check(dir, c.bundle, files);
        EXPECT_EQ(status, c.status) << c.bundle << "\n" << output;
        EXPECT_NE(output.find(c.says), std::string::npos) << c.bundle << "\n" << output;
    }
    EXPECT_NE(check(dir, "nomanifest.mumble_plugin", {{"libmarlpike_voice.so", lib}})
                  .second.find("no manifest.xml"),
              std::string::npos);
    fs::remove_all(dir);
}

} // namespace
