// Time-stamped lines to a stream and, optionally, appended to a file.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

// MinGW's printf family follows C99 (__USE_MINGW_ANSI_STDIO); the format
// check must know it.
#if defined(__MINGW32__)
#define MV_PRINTF_FORMAT gnu_printf
#else
#define MV_PRINTF_FORMAT printf
#endif

namespace mvtools {

class Logger {
  public:
    // out may be null (file only); file_path may be empty (stream only).
    Logger(std::FILE *out, const std::string &file_path);
    ~Logger();
    Logger(const Logger &) = delete;
    Logger &operator=(const Logger &) = delete;

    [[nodiscard]] bool file_ok() const { return file_path_.empty() || file_ != nullptr; }
    void line(std::string_view text);
    // printf-style convenience.
    void linef(const char *format, ...) __attribute__((format(MV_PRINTF_FORMAT, 2, 3)));

  private:
    std::mutex mutex_;
    std::FILE *out_;
    std::string file_path_;
    std::FILE *file_ = nullptr;
};

// "2026-12-06 08:04:39.123", local time.
[[nodiscard]] std::string timestamp_now();

} // namespace mvtools
