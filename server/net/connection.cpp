#include "net/connection.h"

namespace mvserver {

Address to_address(const asio::ip::address &a) {
    if (a.is_v4()) return address_from_v4(a.to_v4().to_bytes());
    return address_from_v6(a.to_v6().to_bytes());
}

Connection::Connection(uint64_t id, asio::ip::tcp::socket socket, const Address &peer, Host &host,
                       Limits limits)
    : id_(id), socket_(std::move(socket)), peer_(peer), host_(host), limits_(limits) {
    // Synchronous sends return would_block rather than wait; the reads and
    // any write left over stay asynchronous.
    std::error_code ignored;
    socket_.non_blocking(true, ignored);
}

void Connection::start() {
    read();
}

void Connection::read() {
    socket_.async_read_some(asio::buffer(in_), [self = shared_from_this()](std::error_code ec, size_t n) {
        if (self->closed_ || self->closing_) return;
        if (ec) {
            self->close(ec == asio::error::eof ? "peer_closed" : "read_failed");
            return;
        }
        self->on_read(n);
        if (!self->closed_ && !self->closing_) self->read();
    });
}

void Connection::on_read(size_t n) {
    for (size_t i = 0; i < n && !closed_ && !closing_; ++i) {
        const char c = in_[i];
        if (c == '\n') {
            const bool too_long = overlong_;
            overlong_ = false;
            host_.on_line(*this, line_, too_long);
            line_.clear();
        } else if (line_.size() < limits_.max_line) {
            line_.push_back(c);
        } else {
            overlong_ = true;
        }
    }
}

void Connection::flush() {
    if (closed_) return;
    if (pending_.size() + writing_.size() > limits_.max_unsent) {
        close("not_reading");
        return;
    }
    if (!in_flight_) write_next();
}

Connection::Direct Connection::send_direct() {
    Direct d;
    if (closed_ || pending_.empty()) return d;
    // A write in flight, a close waiting for the bytes or too many unsent:
    // all the event loop's.
    if (in_flight_ || closing_ || pending_.size() + writing_.size() > limits_.max_unsent) {
        d.left = Direct::Left::rest;
        return d;
    }
    std::error_code ec;
    d.bytes = socket_.send(asio::buffer(pending_), 0, ec);
    if (ec && ec != asio::error::would_block && ec != asio::error::try_again) {
        d.left = Direct::Left::failed;
        return d;
    }
    pending_.erase(0, d.bytes);
    if (!pending_.empty()) d.left = Direct::Left::rest;
    return d;
}

void Connection::write_next() {
    if (!pending_.empty()) {
        // Straight to the kernel while it takes the bytes: one send, nothing
        // queued or allocated. Only what it leaves goes through an async write.
        std::error_code ec;
        const size_t n = socket_.send(asio::buffer(pending_), 0, ec);
        if (n > 0) host_.on_written(*this, n);
        if (ec && ec != asio::error::would_block && ec != asio::error::try_again) {
            close("write_failed");
            return;
        }
        if (n == pending_.size())
            pending_.clear();
        else
            pending_.erase(0, n);
    }
    if (pending_.empty()) {
        if (closing_) close(close_reason_);
        return;
    }
    writing_.swap(pending_);
    pending_.clear();
    in_flight_ = true;
    asio::async_write(socket_, asio::buffer(writing_),
                      [self = shared_from_this()](std::error_code ec, size_t n) {
                          self->in_flight_ = false;
                          self->writing_.clear();
                          if (self->closed_) return;
                          self->host_.on_written(*self, n);
                          if (ec) {
                              self->close("write_failed");
                              return;
                          }
                          self->write_next();
                      });
}

void Connection::close_after_flush(std::string_view reason) {
    if (closed_ || closing_) return;
    closing_ = true;
    close_reason_ = reason;
    if (!in_flight_) write_next();
}

void Connection::close(std::string_view reason) {
    if (closed_) return;
    closed_ = true;
    std::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    host_.on_closed(*this, reason);
}

} // namespace mvserver
