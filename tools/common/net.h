// Small POSIX socket helpers for the tools.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace mvtools::net {

// A listening TCP socket; port 0 lets the system choose (read it back with
// *bound_port). -1 on failure, with the reason in *error.
int listen_tcp(const std::string &address, uint16_t port, uint16_t *bound_port, std::string *error);
// Connects to host:port (any address family), waiting at most timeout_ms.
int connect_tcp(const std::string &host, uint16_t port, int timeout_ms, std::string *error);
int accept_client(int listener, std::string *peer);
bool set_nonblocking(int fd);
// Sends everything, waiting up to timeout_ms for room; false on error.
bool send_all(int fd, std::string_view bytes, int timeout_ms);
// 1 readable, 0 timeout, -1 error.
int wait_readable(int fd, int timeout_ms);
void close_fd(int fd);

} // namespace mvtools::net
