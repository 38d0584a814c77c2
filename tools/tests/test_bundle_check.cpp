// marlpike-bundle-check as a program, on bundles made wrong on purpose.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

const char *const kManifest = R"(<bundle version="1.0.0"><assets>
<plugin os="linux" arch="x64">libmarlpike_voice.so</plugin></assets>
<name>Marlpike Voice</name><version>0.5.4</version></bundle>)";

struct Result {
    int status;
    std::string output;
};

// Zips the given files (name -> bytes) into name.mumble_plugin and checks it.
Result check(const fs::path &dir, const std::string &bundle,
             const std::vector<std::pair<std::string, std::string>> &files) {
    const fs::path stage = dir / (bundle + ".stage");
    fs::create_directories(stage);
    std::string names;
    for (const auto &[name, bytes] : files) {
        std::ofstream(stage / name, std::ios::binary) << bytes;
        names += " '" + name + "'";
    }
    const fs::path zip = dir / bundle;
    const std::string pack = "cd '" + stage.string() + "' && zip -q -X '" + zip.string() + "'" + names;
    EXPECT_EQ(std::system(pack.c_str()), 0);
    const std::string run =
        std::string("'") + MV_BUNDLE_CHECK + "' '" + zip.string() + "' --probe '" + MV_PROBE + "' 2>&1";
    Result r{0, {}};
    std::FILE *p = popen(run.c_str(), "r");
    char buf[1024];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        r.output.append(buf, n);
    const int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string library_bytes() {
    std::ifstream in(MV_PLUGIN_LIBRARY, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(BundleCheck, PassesAGoodBundleAndNamesEachFault) {
    const fs::path dir = fs::temp_directory_path() / ("marlpike-bundle-check-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string lib = library_bytes();
    ASSERT_FALSE(lib.empty());
    const std::string bad_version =
        std::string(kManifest).replace(std::string(kManifest).find("0.5.4"), 5, "0.5.3");
    struct Case {
        std::string bundle;
        std::vector<std::pair<std::string, std::string>> files;
        int status;
        std::string says;
    };
    const Case cases[] = {
        {"good.mumble_plugin", {{"manifest.xml", kManifest}, {"libmarlpike_voice.so", lib}}, 0, "bundle ok"},
        {"nomanifest.mumble_plugin", {{"libmarlpike_voice.so", lib}}, 1, "no manifest.xml"},
        {"nolib.mumble_plugin", {{"manifest.xml", kManifest}}, 1, "not in the bundle"},
        {"version.mumble_plugin",
         {{"manifest.xml", bad_version}, {"libmarlpike_voice.so", lib}},
         1,
         "reports version 0.5.4, the manifest says 0.5.3"},
        {"notalib.mumble_plugin",
         {{"manifest.xml", kManifest}, {"libmarlpike_voice.so", "text"}},
         1,
         "does not load"},
        {"wrong.zip",
         {{"manifest.xml", kManifest}, {"libmarlpike_voice.so", lib}},
         1,
         "must end in .mumble_plugin"},
    };
    for (const Case &c : cases) {
        const Result r = check(dir, c.bundle, c.files);
        EXPECT_EQ(r.status, c.status) << c.bundle << "\n" << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << c.bundle << "\n" << r.output;
    }
    fs::remove_all(dir);
}

} // namespace
