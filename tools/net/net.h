// Plain TCP sockets for the tools, the tests and the benches: listening,
// accepting, connecting, sending and receiving, each bounded by a timeout.
// One implementation per platform (posix/net.cpp, win32/net.cpp); Winsock is
// started inside on first use.
//
// Sockets that this helper creates or accepts are non-blocking; every call
// below that waits does so itself, up to its timeout_ms (negative: no limit),
// so no call blocks longer than asked on either platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace mvnet {

using Socket = intptr_t;
inline constexpr Socket kInvalidSocket = -1;

// ---- listening and connecting ------------------------------------------------------------
// A listening TCP socket on a numeric address (IPv4 or IPv6); port 0 lets the
// system choose, read back in *bound_port. Invalid on failure, with the reason
// in *error when error is not null.
[[nodiscard]] Socket listen_tcp(std::string_view address, uint16_t port, int backlog, uint16_t *bound_port,
                                std::string *error = nullptr);
// On 127.0.0.1 with a port chosen by the system.
[[nodiscard]] Socket listen_loopback(uint16_t *port, int backlog = 16);
// On 127.0.0.1:port, even if that port was in use a moment ago.
[[nodiscard]] Socket listen_loopback_at(uint16_t port, int backlog = 16);
// Bound to 127.0.0.1 on a port the system chooses, and not listening: a
// connect to it is refused, and no one else can take the port while it is held.
[[nodiscard]] Socket bind_loopback(uint16_t *port);
// Starts listening on a socket bound that way.
bool start_listening(Socket s, int backlog = 16);

// The next pending connection, waiting up to timeout_ms for one; invalid on a
// timeout or an error. *peer (when not null) gets "address:port".
[[nodiscard]] Socket accept_one(Socket listener, int timeout_ms, std::string *peer = nullptr);

// Connects to host:port (a name or a numeric address, any family), trying each
// address in turn, each for at most timeout_ms.
[[nodiscard]] Socket connect_tcp(std::string_view host, uint16_t port, int timeout_ms,
                                 std::string *error = nullptr);

// ---- data ---------------------------------------------------------------------------------
enum class Io {
    done,    // bytes moved (at least one)
    timeout, // nothing could move within the timeout
    closed,  // the peer closed the connection (receive only)
    reset,   // the peer reset the connection
    failed,  // any other error
};
struct IoResult {
    Io status;
    size_t bytes = 0;
};

// Whatever has arrived, up to cap bytes, once the socket is readable.
[[nodiscard]] IoResult receive(Socket s, char *buf, size_t cap, int timeout_ms);
// As many bytes as fit now, once the socket is writable.
[[nodiscard]] IoResult send_some(Socket s, const char *data, size_t len, int timeout_ms);
// Every byte, within timeout_ms in all; false on a timeout or an error.
bool send_all(Socket s, std::string_view bytes, int timeout_ms);

// 1 when readable (data, a close, or a pending connection), 0 on timeout, -1 on error.
[[nodiscard]] int wait_readable(Socket s, int timeout_ms);
// 1 when there is room to send (or the connection has failed), 0 on timeout, -1 on error.
[[nodiscard]] int wait_writable(Socket s, int timeout_ms);

// One wait on several sockets. Each item is watched for reading, and for
// writing when want_write is set; invalid sockets are skipped. Returns how
// many items are ready, 0 on timeout, -1 on error.
struct PollItem {
    Socket socket = kInvalidSocket;
    bool want_write = false;
    bool readable = false; // out: data, a close, an error, or a pending connection
    bool writable = false; // out
};
int poll(std::span<PollItem> items, int timeout_ms);

// ---- options and the end --------------------------------------------------------------------
bool set_nonblocking(Socket s, bool on);
void close_socket(Socket s);
// Closes with SO_LINGER {1, 0}, so that the peer sees a reset instead of a close.
void reset_socket(Socket s);
// True where receive() reports the peer's reset as an orderly close: Wine
// does. Checks of a reset ask for one only where it can be seen.
[[nodiscard]] bool resets_read_as_closes();

// Owns one socket and closes it when it goes.
class UniqueSocket {
  public:
    UniqueSocket() = default;
    explicit UniqueSocket(Socket s) : s_(s) {}
    ~UniqueSocket() { close_socket(s_); }
    UniqueSocket(UniqueSocket &&other) noexcept : s_(other.release()) {}
    UniqueSocket &operator=(UniqueSocket &&other) noexcept {
        if (this != &other) adopt(other.release());
        return *this;
    }
    UniqueSocket(const UniqueSocket &) = delete;
    UniqueSocket &operator=(const UniqueSocket &) = delete;

    [[nodiscard]] Socket get() const { return s_; }
    [[nodiscard]] bool valid() const { return s_ != kInvalidSocket; }
    [[nodiscard]] Socket release() {
        const Socket s = s_;
        s_ = kInvalidSocket;
        return s;
    }
    // Closes the socket held now and takes s.
    void adopt(Socket s) {
        close_socket(s_);
        s_ = s;
    }

  private:
    Socket s_ = kInvalidSocket;
};

} // namespace mvnet
