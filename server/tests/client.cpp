#include "client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

namespace mvserver::test {

std::string hmac_hex(const std::string &key, const std::string &message) {
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char *>(message.data()), message.size(), d, &n);
    std::string out;
    char b[3];
    for (unsigned i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", d[i]);
        out += b;
    }
    return out;
}

Client::Client(uint16_t port, const std::string &from, int receive_buffer) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (receive_buffer > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    if (::bind(fd_, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
        ::connect(fd_, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

Client::~Client() {
    if (fd_ >= 0) ::close(fd_);
}

void Client::send(std::string_view bytes) {
    while (fd_ >= 0 && !bytes.empty()) {
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) return;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

std::optional<std::string> Client::line(std::chrono::milliseconds wait) {
    const auto until = std::chrono::steady_clock::now() + wait;
    for (;;) {
        if (const size_t lf = buffer_.find('\n'); lf != std::string::npos) {
            std::string l = buffer_.substr(0, lf);
            buffer_.erase(0, lf + 1);
            return l;
        }
        if (fd_ < 0 || eof_) return std::nullopt;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buf[4096];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) {
            eof_ = true;
            continue;
        }
        buffer_.append(buf, static_cast<size_t>(n));
    }
}

bool Client::wait_closed(std::chrono::milliseconds wait) {
    const auto until = std::chrono::steady_clock::now() + wait;
    while (!eof_ && std::chrono::steady_clock::now() < until)
        line(std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()));
    return eof_;
}

std::string Client::handshake(const std::string &key, const std::string &alias, const std::string &hash) {
    send("HELLO2 " + key + " " + alias + "\n");
    const auto challenge = line();
    if (!challenge || !challenge->starts_with("CHALLENGE ")) return challenge.value_or("");
    send("PROOF " + hmac_hex(hash, challenge->substr(10)) + "\n");
    return line().value_or("");
}

} // namespace mvserver::test
