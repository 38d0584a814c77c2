// marlpike-bundle-check: opens an install bundle as the host would and checks
// it: the manifest by the host's rules, every library it names present, each
// library loading and reporting the plugin's name and versions.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bundle/elf.h"
#include "bundle/manifest.h"
#include "bundle/pe.h"
#include "common/args.h"
#include "common/roster.h"

namespace {

using namespace mvtools;
namespace fs = std::filesystem;

constexpr char kUsage[] = R"(usage: marlpike-bundle-check BUNDLE [options]

  --probe FILE          marlpike-plugin-probe for Linux libraries
  --windows-probe FILE  the probe built for Windows (plugin_probe.exe)
  --wine FILE           Wine loader to run it (e.g. /usr/lib/wine/wine64)
  --version X.Y.Z       the version the manifest and the libraries must report
)";

std::string quote(const std::string &s) {
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Runs a shell command, returning its standard output and exit status.
int run(const std::string &command, std::string *output) {
    std::FILE *p = popen(command.c_str(), "r");
    if (p == nullptr) return -1;
    char buf[4096];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        output->append(buf, n);
    const int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::map<std::string, std::string> key_values(const std::string &text) {
    std::map<std::string, std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (const size_t eq = line.find('='); eq != std::string::npos)
            out[line.substr(0, eq)] = line.substr(eq + 1);
        pos = end + 1;
    }
    return out;
}

int g_failures = 0;
void ok(const std::string &s) {
    std::printf("ok    %s\n", s.c_str());
}
void fail(const std::string &s) {
    std::printf("FAIL  %s\n", s.c_str());
    ++g_failures;
}

// Judges what a probe printed about one library.
void judge_probe(const std::string &what, const std::string &output, const std::string &version) {
    auto kv = key_values(output);
    if (kv["loaded"] != "1") {
        fail(what + ": does not load: " + (kv.count("error") != 0 ? kv["error"] : output));
        return;
    }
    if (kv["exports"] != "23/23")
        fail(what + ": exports " + kv["exports"] + " of the plugin functions; missing: " + kv["missing"]);
    if (kv["api_version"] != "1.2.0") fail(what + ": reports API " + kv["api_version"] + ", expected 1.2.0");
    if (!version.empty() && kv["version"] != version)
        fail(what + ": reports version " + kv["version"] + ", the manifest says " + version);
    ok(what + ": loads and reports '" + kv["name"] + "' version " + kv["version"] + ", API " +
       kv["api_version"] + ", plugin functions " + kv["functions_version"]);
}

} // namespace

int main(int argc, char **argv) {
    Args args(argc, argv, {"help"});
    if (args.flag("help")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    const std::string probe = args.text("probe");
    const std::string windows_probe = args.text("windows-probe");
    const std::string wine = args.text("wine");
    const std::string want_version = args.text("version");
    const auto rest = args.unused();
    if (!args.error().empty() || rest.size() != 1 || rest[0].starts_with("--")) {
        std::fprintf(stderr, "%s%s", args.error().empty() ? "" : (args.error() + "\n").c_str(), kUsage);
        return 2;
    }
    const std::string bundle = rest[0];
    if (!fs::is_regular_file(bundle)) {
        std::fprintf(stderr, "marlpike-bundle-check: no file %s\n", bundle.c_str());
        return 2;
    }
    if (!bundle.ends_with(".mumble_plugin"))
        fail("the file name must end in .mumble_plugin for the host to take it");

    std::string listing;
    if (run("unzip -Z1 " + quote(bundle) + " 2>/dev/null", &listing) != 0) {
        fail(bundle + " is not a zip archive");
        return 1;
    }
    std::vector<std::string> entries;
    for (size_t pos = 0; pos < listing.size();) {
        size_t end = listing.find('\n', pos);
        if (end == std::string::npos) end = listing.size();
        if (end > pos) entries.push_back(listing.substr(pos, end - pos));
        pos = end + 1;
    }
    auto has = [&](const std::string &name) {
        for (const std::string &e : entries)
            if (e == name) return true;
        return false;
    };
    if (!has("manifest.xml")) {
        fail("no manifest.xml at the top of the bundle");
        return 1;
    }
    std::string xml;
    run("unzip -p " + quote(bundle) + " manifest.xml", &xml);
    Manifest manifest;
    const auto problems = check_manifest(xml, &manifest);
    for (const std::string &p : problems)
        fail("manifest: " + p);
    if (problems.empty())
        ok("manifest: '" + manifest.name + "' version " + manifest.version + ", " +
           std::to_string(manifest.assets.size()) + " libraries");
    if (!want_version.empty() && manifest.version != want_version)
        fail("manifest version " + manifest.version + ", expected " + want_version);

    std::error_code ec;
    std::string dir = (fs::temp_directory_path(ec) / "marlpike-bundle-XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr) {
        fail("cannot make a temporary directory");
        return 1;
    }
    std::string ignored;
    run("unzip -q -o " + quote(bundle) + " -d " + quote(dir), &ignored);
    for (const Asset &a : manifest.assets) {
        const std::string what = a.os + " " + a.arch + " " + a.path;
        const fs::path file = fs::path(dir) / a.path;
        if (!has(a.path) || !fs::is_regular_file(file)) {
            fail(what + ": named in the manifest but not in the bundle");
            continue;
        }
        if (a.os == "linux") {
            if (probe.empty()) {
                fail(what + ": no --probe to load it with");
                continue;
            }
            std::string bytes;
            ElfInfo elf;
            std::string error;
            if (!read_text_file(file.string(), &bytes) || !read_elf(bytes, &elf, &error)) {
                fail(what + ": " + (error.empty() ? "cannot be read" : error));
                continue;
            }
            if (!elf.x64) fail(what + ": not an x86-64 library");
            std::string needs = elf.glibc.empty() ? "" : "glibc " + elf.glibc + " or later";
            for (const std::string &lib : elf.needed)
                if (!lib.starts_with("libc.so") && !lib.starts_with("libm.so"))
                    needs += (needs.empty() ? "" : ", ") + lib;
            ok(what + ": needs " + needs +
               (elf.stripped ? "; stripped" : "; not stripped (debug data inside)"));
            std::string out;
            run(quote(probe) + " " + quote(file.string()) + " 2>&1", &out);
            judge_probe(what, out, manifest.version);
        } else if (a.os == "windows") {
            std::string bytes;
            PeInfo pe;
            std::string error;
            if (!read_text_file(file.string(), &bytes) || !read_pe(bytes, &pe, &error)) {
                fail(what + ": " + (error.empty() ? "cannot be read" : error));
                continue;
            }
            if (!pe.x64 || !pe.dll) fail(what + ": not an x86-64 DLL");
            size_t mumble = 0;
            for (const std::string &e : pe.exports)
                mumble += e.starts_with("mumble_") ? 1 : 0;
            if (mumble != 23)
                fail(what + ": exports " + std::to_string(mumble) + " mumble_ functions, expected 23");
            for (const std::string &f : foreign_imports(pe))
                fail(what + ": imports " + f + ", which a player's Windows does not have");
            ok(what + ": x86-64 DLL, " + std::to_string(mumble) + " plugin exports, imports " +
               std::to_string(pe.imports.size()) + " system DLLs" +
               (pe.stripped ? "; stripped" : "; not stripped (debug data inside)"));
            if (!windows_probe.empty() && !wine.empty()) {
                std::string win_path = "Z:" + fs::absolute(file).string();
                for (char &c : win_path)
                    c = c == '/' ? '\\' : c;
                const std::string prefix = (fs::path(dir) / "wineprefix").string();
                std::string out;
                run("WINEDEBUG=-all WINEPREFIX=" + quote(prefix) + " " + quote(wine) + " " +
                        quote(windows_probe) + " " + quote(win_path) + " 2>/dev/null",
                    &out);
                judge_probe(what + " (under Wine)", out, manifest.version);
            }
        }
    }
    fs::remove_all(dir, ec);
    std::printf("%s: %s\n", bundle.c_str(), g_failures == 0 ? "bundle ok" : "bundle has problems");
    return g_failures == 0 ? 0 : 1;
}
