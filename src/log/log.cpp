#include "log/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/text.h"
#include "platform/platform.h"

namespace mv {

namespace {

constexpr size_t kPathCap = 1024;
constexpr size_t kMessageCap = 1024;
constexpr size_t kHostLineCap = 1200;
constexpr char kHostPrefix[] = "[marlpike_voice] ";
constexpr char kRotatedSuffix[] = ".1";

// Serialises whole lines (open, rotate, write, close) so that lines of
// different threads never mix and only one thread rotates. Private to the log:
// the state lock is never held around I/O.
constinit platform::Lock g_file_lock;
// Written under g_file_lock; the flag lets a disabled log return before
// taking the lock or formatting anything.
constinit std::atomic<bool> g_active{false};
constinit char g_path[kPathCap] = {};
constinit std::atomic<HostLogSink> g_sink{nullptr};

// Opens the log for appending; moves a file past the size limit aside first.
std::FILE *open_log() noexcept {
    std::FILE *f = platform::file_open(g_path, "ab");
    if (f == nullptr) return nullptr;
    if (std::fseek(f, 0, SEEK_END) != 0 || std::ftell(f) <= kLogRotateBytes) return f;
    std::fclose(f);
    char rotated[kPathCap + sizeof kRotatedSuffix];
    size_t n = copy_text(rotated, sizeof rotated, g_path);
    copy_text(rotated + n, sizeof rotated - n, kRotatedSuffix);
    // If the move fails we keep appending to the old file rather than lose lines.
    platform::file_replace(g_path, rotated);
    return platform::file_open(g_path, "ab");
}

void write_stamp(std::FILE *f, int64_t when) noexcept {
    std::tm t{};
    if (!platform::local_time(when, &t)) t = std::tm{};
    char stamp[32];
    size_t n = format_timestamp(stamp, sizeof stamp, t);
    std::fwrite(stamp, 1, n, f);
}

// One whole line under the file lock: time stamp, message, "\r\n". The time is
// read after the file is open unless the caller brings its own.
template <typename WriteMessage> void write_line(const int64_t *when, WriteMessage write_message) noexcept {
    platform::LockGuard guard(g_file_lock);
    if (!g_active.load(std::memory_order_relaxed)) return; // turned off meanwhile
    std::FILE *f = open_log();
    if (f == nullptr) return;
    write_stamp(f, when != nullptr ? *when : platform::time_now());
    write_message(f);
    std::fwrite("\r\n", 1, 2, f);
    std::fclose(f);
}

} // namespace

void log_configure(bool debug_log, const char *log_path) noexcept {
    platform::LockGuard guard(g_file_lock);
    copy_text(g_path, sizeof g_path, log_path == nullptr ? "" : log_path);
    g_active.store(debug_log && g_path[0] != '\0', std::memory_order_release);
}

void log_set_host_sink(HostLogSink sink) noexcept {
    g_sink.store(sink, std::memory_order_release);
}

void file_log(const char *fmt, ...) noexcept {
    if (!g_active.load(std::memory_order_acquire)) return;
    std::va_list args;
    va_start(args, fmt);
    write_line(nullptr, [&](std::FILE *f) { std::vfprintf(f, fmt, args); });
    va_end(args);
}

void main_log(const char *fmt, ...) noexcept {
    char message[kMessageCap];
    std::va_list args;
    va_start(args, fmt);
    int n = std::vsnprintf(message, sizeof message, fmt, args);
    va_end(args);
    if (n < 0) message[0] = '\0';

    if (HostLogSink sink = g_sink.load(std::memory_order_acquire)) {
        char line[kHostLineCap];
        size_t len = copy_text(line, sizeof line, kHostPrefix);
        copy_text(line + len, sizeof line - len, message);
        sink(line);
    }
    file_log("%s", message);
}

void file_log_text_at(int64_t when, const char *text) noexcept {
    if (!g_active.load(std::memory_order_acquire)) return;
    write_line(&when, [text](std::FILE *f) { std::fputs(text == nullptr ? "" : text, f); });
}

size_t format_timestamp(char *out, size_t cap, const std::tm &t) noexcept {
    if (out == nullptr || cap == 0) return 0;
    int n = std::snprintf(out, cap, "[%04d-%02d-%02d %02d:%02d:%02d] ", t.tm_year + 1900, t.tm_mon + 1,
                          t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    if (n < 0) {
        out[0] = '\0';
        return 0;
    }
    return static_cast<size_t>(n) < cap ? static_cast<size_t>(n) : cap - 1;
}

} // namespace mv
