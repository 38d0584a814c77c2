// marlpike-plugin-probe: loads a plugin library the way the host first looks
// at one and prints what it reports, one key=value a line. Built for Linux
// and, with mingw-w64, for Windows (run under Wine) so that both libraries of
// the install bundle can be checked by the same program. It calls no
// lifecycle function: loading and the metadata exports only.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

struct Version {
    int32_t major, minor, patch;
};
struct Text {
    const char *data;
    size_t size;
    bool needs_releasing;
};

const char *const kExports[] = {
    "mumble_getPluginFunctionsVersion",
    "mumble_getAPIVersion",
    "mumble_getVersion",
    "mumble_getName",
    "mumble_getAuthor",
    "mumble_getDescription",
    "mumble_getFeatures",
    "mumble_deactivateFeatures",
    "mumble_registerAPIFunctions",
    "mumble_setMumbleInfo",
    "mumble_releaseResource",
    "mumble_init",
    "mumble_shutdown",
    "mumble_onServerSynchronized",
    "mumble_onServerDisconnected",
    "mumble_onUserAdded",
    "mumble_onUserRemoved",
    "mumble_onChannelEntered",
    "mumble_onAudioInput",
    "mumble_onAudioSourceFetched",
    "mumble_onAudioOutputAboutToPlay",
    "mumble_hasUpdate",
    "mumble_getUpdateDownloadURL",
};

#if defined(_WIN32)
using Handle = HMODULE;
Handle open_library(const char *path) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path, -1, wide.data(), n);
    return LoadLibraryW(wide.c_str());
}
void *find(Handle h, const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(h, name));
}
std::string load_error() {
    return "LoadLibrary error " + std::to_string(GetLastError());
}
#else
using Handle = void *;
Handle open_library(const char *path) {
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}
void *find(Handle h, const char *name) {
    return dlsym(h, name);
}
std::string load_error() {
    const char *e = dlerror();
    return e != nullptr ? e : "dlopen failed";
}
#endif

template <typename Fn> Fn as(void *p) {
    Fn fn = nullptr;
    static_assert(sizeof fn == sizeof p);
    std::memcpy(&fn, &p, sizeof p);
    return fn;
}

void print_version(const char *key, void *fn) {
    if (fn == nullptr) return;
    const Version v = as<Version (*)()>(fn)();
    std::printf("%s=%d.%d.%d\n", key, v.major, v.minor, v.patch);
}

void print_text(const char *key, void *fn) {
    if (fn == nullptr) return;
    const Text t = as<Text (*)()>(fn)();
    std::printf("%s=%.*s\n", key, t.data != nullptr ? static_cast<int>(t.size) : 0,
                t.data != nullptr ? t.data : "");
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: marlpike-plugin-probe LIBRARY\n");
        return 2;
    }
    Handle h = open_library(argv[1]);
    if (h == nullptr) {
        std::printf("loaded=0\nerror=%s\n", load_error().c_str());
        return 1;
    }
    std::printf("loaded=1\n");
    int found = 0;
    std::string missing;
    for (const char *name : kExports) {
        if (find(h, name) != nullptr)
            ++found;
        else
            missing += std::string(missing.empty() ? "" : " ") + name;
    }
    std::printf("exports=%d/%d\n", found, static_cast<int>(sizeof kExports / sizeof kExports[0]));
    if (!missing.empty()) std::printf("missing=%s\n", missing.c_str());
    print_text("name", find(h, "mumble_getName"));
    print_text("author", find(h, "mumble_getAuthor"));
    print_version("version", find(h, "mumble_getVersion"));
    print_version("api_version", find(h, "mumble_getAPIVersion"));
    print_version("functions_version", find(h, "mumble_getPluginFunctionsVersion"));
    if (void *f = find(h, "mumble_getFeatures"); f != nullptr)
        std::printf("features=%u\n", static_cast<unsigned>(as<uint32_t (*)()>(f)()));
    std::fflush(stdout);
    return found == static_cast<int>(sizeof kExports / sizeof kExports[0]) ? 0 : 1;
}
