#include "falloff/line_reader.h"

namespace mv {

namespace {

constexpr size_t kMaxLineChars = kLineCap - 1;

} // namespace

LineResult LineReader::next(ByteSource &source) noexcept {
    // A line never outlives one call: it is either returned or discarded with
    // the status that ended it. Only the unconsumed bytes of buf_ carry over.
    size_t len = 0;
    auto finish = [&](LineStatus status, int error) noexcept {
        line_[len] = '\0';
        return LineResult{status, line_, len, error};
    };

    for (;;) {
        while (start_ < end_) {
            const char c = buf_[start_++];
            if (c == '\r') continue;
            if (c == '\n') return finish(LineStatus::line, 0);
            line_[len++] = c;
            if (len == kMaxLineChars) return finish(LineStatus::line, 0);
        }

        start_ = end_ = 0;
        const platform::IoResult r = source.read(buf_, sizeof buf_);
        switch (r.status) {
        case platform::IoStatus::ok:
            // A zero-byte read is how recv reports an orderly close.
            if (r.count == 0) return finish(LineStatus::closed, 0);
            end_ = r.count < sizeof buf_ ? r.count : sizeof buf_;
            break;
        case platform::IoStatus::timeout:
            if (len > 0) return finish(LineStatus::line, 0);
            return finish(LineStatus::idle, 0);
        case platform::IoStatus::closed:
            return finish(LineStatus::closed, 0);
        case platform::IoStatus::error:
            return finish(LineStatus::error, r.error);
        case platform::IoStatus::stopped:
            return finish(LineStatus::stopped, 0);
        }
    }
}

} // namespace mv
