// A protocol client for the server's tests: a blocking TCP socket with
// deadlines, lines in and out, and the plugin's side of the handshake with
// its own HMAC from OpenSSL.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace mvserver::test {

class Client {
  public:
    // Connects to 127.0.0.1:port from `from` (any 127.x address), with a
    // receive buffer of that many bytes when above 0 (a reader that falls
    // behind soon).
    Client(uint16_t port, const std::string &from = "127.0.0.1", int receive_buffer = 0);
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    [[nodiscard]] bool connected() const { return fd_ >= 0; }
    void send(std::string_view bytes);
    // The next line without its LF; nothing when the peer closed or the
    // deadline passed (closed() tells which).
    std::optional<std::string> line(std::chrono::milliseconds wait = std::chrono::seconds(5));
    // Whether the peer has closed (reading until then, within wait).
    bool wait_closed(std::chrono::milliseconds wait = std::chrono::seconds(5));
    [[nodiscard]] bool closed() const { return eof_; }

    // HELLO2, CHALLENGE, PROOF; returns the server's answer to the last step
    // reached ("OK" when established).
    std::string handshake(const std::string &key, const std::string &alias, const std::string &hash);

  private:
    int fd_ = -1;
    std::string buffer_;
    bool eof_ = false;
};

[[nodiscard]] std::string hmac_hex(const std::string &key, const std::string &message);

} // namespace mvserver::test
