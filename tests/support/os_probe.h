// What the tests ask of the operating system beyond sockets: counts of the
// process's open handles and threads, and whether a library is still mapped.
// One implementation per platform (os_probe_posix.cpp, os_probe_win32.cpp).
#pragma once

#include <string>
#include <thread>

namespace mvtest {

struct ResourceCounts {
    long handles; // open file descriptors (POSIX) or kernel handles (Windows)
    long threads; // threads of this process
    // How far the handle count may drift with no leak of ours: under Wine the
    // count is of the process's descriptors, and Wine keeps a few of its own
    // open for a while (its descriptor cache). A leak per cycle is far larger.
    long handle_slack = 0;
};

[[nodiscard]] ResourceCounts resource_counts();

// The counts to compare later readings with. A thread is started and joined
// first, because a runtime may start a helper thread of its own at the first
// thread creation (ThreadSanitizer does) and keep it for good.
[[nodiscard]] inline ResourceCounts baseline_counts() {
    std::thread([] {}).join();
    return resource_counts();
}

// After the host has unloaded the plugin, a thread of the plugin that is still
// running holds its own reference on the library and keeps it mapped.
[[nodiscard]] bool library_mapped(const std::string &utf8_path);

} // namespace mvtest
