// Line framing of the falloff link. Bytes are read in blocks; lines come out
// exactly as if read one byte at a time: CR dropped anywhere, LF ends a line,
// a line ends by itself after 8191 characters, a NUL ends the line's text.
#pragma once

#include <cstddef>

#include "platform/platform.h"

namespace mv {

inline constexpr size_t kLineCap = 8192; // 8191 characters and a NUL

enum class LineStatus {
    line,    // text holds a complete line (or the partial line of a timeout)
    idle,    // a receive timed out with nothing of a line received
    closed,  // the peer closed; text holds the discarded partial line
    error,   // socket error (error holds its code); text as for closed
    stopped, // the stop event ended the wait; text as for closed
};

struct LineResult {
    LineStatus status;
    const char *text; // NUL-terminated; valid until the next call
    size_t length;    // bytes stored, NULs included
    int error;
};

// Where the bytes come from: a socket in the worker, a script in tests.
struct ByteSource {
    virtual platform::IoResult read(char *buf, size_t cap) noexcept = 0;

  protected:
    ~ByteSource() = default;
};

class LineReader {
  public:
    LineResult next(ByteSource &source) noexcept;
    void reset() noexcept { start_ = end_ = 0; }

  private:
    char line_[kLineCap];
    // Room for a whole longest line and the start of the next: one read per line.
    char buf_[2 * kLineCap];
    size_t start_ = 0;
    size_t end_ = 0;
};

} // namespace mv
