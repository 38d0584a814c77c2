// One TCP connection on the server's single io_context: lines in (LF ends a
// line; a line over the bound is reported once as too long and the rest of
// it discarded), bytes out with one send straight away, and what the kernel
// does not take through two buffers (one async write in flight, the next
// appended behind it; both keep their capacity). A peer whose
// unsent bytes pass the bound is not reading and is closed, so that it never
// holds anyone else up.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "address.h"
#include "net/asio.h"

namespace mvserver {

class Connection : public std::enable_shared_from_this<Connection> {
  public:
    class Host {
      public:
        virtual void on_line(Connection &c, std::string_view line, bool too_long) = 0;
        virtual void on_closed(Connection &c, std::string_view reason) = 0;
        virtual void on_written(Connection &c, size_t bytes) = 0;

      protected:
        ~Host() = default;
    };

    struct Limits {
        size_t max_line;
        size_t max_unsent;
    };

    Connection(uint64_t id, asio::ip::tcp::socket socket, const Address &peer, Host &host, Limits limits);
    virtual ~Connection() = default;
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    void start();
    // Append a line here, then flush().
    std::string &out() { return pending_; }
    void flush();
    // flush()'s direct send alone, for another thread while the event loop's
    // thread waits for it: no handler called, no Asio operation started, the
    // bytes sent not reported. Whatever is left over is for flush() (or
    // close("write_failed")) on the event loop.
    struct Direct {
        enum class Left { nothing, rest, failed };
        size_t bytes = 0;
        Left left = Left::nothing;
    };
    Direct send_direct();
    void close(std::string_view reason);
    // Sends what is queued, then closes; nothing more is read.
    void close_after_flush(std::string_view reason);

    [[nodiscard]] bool closed() const { return closed_; }
    [[nodiscard]] uint64_t id() const { return id_; }
    [[nodiscard]] const Address &peer() const { return peer_; }

  private:
    void read();
    void on_read(size_t n);
    void write_next();

    uint64_t id_;
    asio::ip::tcp::socket socket_;
    Address peer_;
    Host &host_;
    Limits limits_;
    std::array<char, 4096> in_{};
    std::string line_;
    bool overlong_ = false;
    std::string pending_;
    std::string writing_;
    bool in_flight_ = false;
    bool closing_ = false;
    bool closed_ = false;
    std::string close_reason_;
};

// The peer's address as the world keeps addresses.
[[nodiscard]] Address to_address(const asio::ip::address &a);

} // namespace mvserver
