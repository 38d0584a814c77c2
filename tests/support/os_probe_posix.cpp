// POSIX side of the reliability probes.
#if !defined(_WIN32)

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "os_probe.h"

namespace mvtest {
namespace {

// Entries of a /proc directory, less "." and "..".
long count_entries(const char *path, bool minus_own_fd) {
    DIR *dir = opendir(path);
    if (dir == nullptr) return -1;
    long n = 0;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++n;
    }
    closedir(dir);
    return minus_own_fd ? n - 1 : n; // the listing's own descriptor
}

} // namespace

ResourceCounts resource_counts() {
    return {count_entries("/proc/self/fd", true), count_entries("/proc/self/task", false)};
}

net::Socket listen_loopback_at(uint16_t port, int backlog) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (s < 0) return net::kInvalidSocket;
    const int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(s, backlog) != 0) {
        close(s);
        return net::kInvalidSocket;
    }
    return s;
}

} // namespace mvtest

#endif
