// Plain sockets for the scripted falloff server; one implementation per
// platform (test_net_posix.cpp, test_net_win32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace mvtest::net {

using Socket = intptr_t;
inline constexpr Socket kInvalidSocket = -1;

// A listening TCP socket on 127.0.0.1 with a port chosen by the system.
Socket listen_loopback(uint16_t *port);
// 1 when readable (data, a close, or a pending connection), 0 on timeout, -1 on error.
int wait_readable(Socket s, int timeout_ms);
Socket accept_one(Socket listener);
// Bytes received, 0 when the peer closed, -1 on error.
long receive(Socket s, char *buf, size_t cap);
bool send_all(Socket s, const char *data, size_t len);
void close_socket(Socket s);
// Closes with SO_LINGER {on, 0}, so that the peer sees a reset instead of a close.
void reset_socket(Socket s);

} // namespace mvtest::net
