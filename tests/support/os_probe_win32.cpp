// Windows side of the reliability probes (also what runs under Wine).
#if defined(_WIN32)

#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which must come before windows.h.
#include <tlhelp32.h>
#include <windows.h>

#include "os_probe.h"

namespace mvtest {
namespace {

long count_threads() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    const DWORD self = GetCurrentProcessId();
    long n = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == self) ++n;
        entry.dwSize = sizeof entry;
    }
    CloseHandle(snapshot);
    return n;
}

// Wine's GetProcessHandleCount answers 0. There the process is a Linux one,
// whose open descriptors (sockets and files among them) are listed at
// /proc/self/fd, which Wine shows on drive Z:.
long count_wine_descriptors() {
    WIN32_FIND_DATAA entry{};
    const HANDLE find = FindFirstFileA("Z:\\proc\\self\\fd\\*", &entry);
    if (find == INVALID_HANDLE_VALUE) return -1;
    long n = 0;
    do {
        if (entry.cFileName[0] != '.') ++n;
    } while (FindNextFileA(find, &entry));
    FindClose(find);
    return n;
}

} // namespace

ResourceCounts resource_counts() {
    DWORD handles = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &handles) && handles > 0)
        return {static_cast<long>(handles), count_threads()};
    return {count_wine_descriptors(), count_threads(), 48};
}

net::Socket listen_loopback_at(uint16_t port, int backlog) {
    uint16_t ignored = 0;
    net::close_socket(net::listen_loopback(&ignored)); // starts Winsock once
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return net::kInvalidSocket;
    // The port may have been in use a moment ago (a listener that was closed).
    const BOOL one = TRUE;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&one), sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(s, backlog) != 0) {
        closesocket(s);
        return net::kInvalidSocket;
    }
    return static_cast<net::Socket>(s);
}

} // namespace mvtest

#endif
