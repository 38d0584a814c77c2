#include "support/line_feeder.h"

namespace mvbench {

LineFeeder::LineFeeder(mvnet::Socket s, const std::string &line, void (*mark_thread)()) : socket_(s) {
    // Many copies per send, as a busy server's socket buffer would hold them.
    while (block_.size() < 64 * 1024)
        block_ += line + "\n";
    mvnet::set_nonblocking(socket_, true);
    thread_ = std::thread([this, mark_thread] {
        if (mark_thread != nullptr) mark_thread();
        size_t offset = 0;
        while (!stop_.load(std::memory_order_relaxed)) {
            const mvnet::IoResult r =
                mvnet::send_some(socket_, block_.data() + offset, block_.size() - offset, 50);
            if (r.status == mvnet::Io::timeout) continue;
            if (r.status != mvnet::Io::done) return;
            offset = (offset + r.bytes) % block_.size();
        }
    });
}

LineFeeder::~LineFeeder() {
    stop_.store(true);
    thread_.join();
}

} // namespace mvbench
