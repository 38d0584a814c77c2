#include "log/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "common/text.h"
#include "platform/platform.h"

namespace mv {

namespace {

constexpr size_t kPathCap = 1024;
constexpr size_t kMessageCap = 1024;
constexpr size_t kHostLineCap = 1200;
constexpr size_t kSecretCap = 256;
// Most lines fit here; longer ones are formatted on the heap.
constexpr size_t kStackLineCap = 2048;
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
// The log path held something other than a regular file, and the host has
// been told (once per configuration). Under g_file_lock.
constinit bool g_refusal_told = false;
constinit std::atomic<HostLogSink> g_sink{nullptr};

// The api_key, which no log line may hold, whatever the text came from.
constinit platform::Lock g_secret_lock;
constinit char g_secret[kSecretCap] = {};

struct Secret {
    char text[kSecretCap];
    size_t len;
};

Secret current_secret() noexcept {
    Secret s{};
    platform::LockGuard guard(g_secret_lock);
    s.len = copy_text(s.text, sizeof s.text, g_secret);
    return s;
}

// Calls put(piece) for the text with every occurrence of the secret replaced
// by the mask.
template <typename Put> void for_each_masked(std::string_view text, const Secret &secret, Put put) noexcept {
    const std::string_view key(secret.text, secret.len);
    size_t done = 0;
    for (size_t at = find_secret(text, key); at != std::string_view::npos;
         at = find_secret(text, key, done)) {
        put(text.substr(done, at - done));
        put(std::string_view(kSecretMask));
        done = at + key.size();
    }
    put(text.substr(done));
}

// Copies the masked text into out (cap bytes), cut at cap-1 and terminated.
size_t masked_copy(char *out, size_t cap, std::string_view text, const Secret &secret) noexcept {
    size_t len = 0;
    for_each_masked(text, secret,
                    [&](std::string_view piece) { len += copy_text(out + len, cap - len, piece); });
    return len;
}

void tell_host(const char *message, bool masked_already) noexcept {
    if (HostLogSink sink = g_sink.load(std::memory_order_acquire)) {
        char line[kHostLineCap];
        size_t len = copy_text(line, sizeof line, kHostPrefix);
        if (masked_already)
            copy_text(line + len, sizeof line - len, message);
        else
            masked_copy(line + len, sizeof line - len, message, current_secret());
        sink(line);
    }
}

void write_stamp(std::FILE *f, int64_t when) noexcept {
    std::tm t{};
    if (!platform::local_time(when, &t)) t = std::tm{};
    char stamp[32];
    size_t n = format_timestamp(stamp, sizeof stamp, t);
    std::fwrite(stamp, 1, n, f);
}

// secret null: the text was masked already (masking twice could mask the mask).
void write_masked(std::FILE *f, int64_t when, std::string_view text, const Secret *secret) noexcept {
    write_stamp(f, when);
    const auto out = [f](std::string_view piece) { std::fwrite(piece.data(), 1, piece.size(), f); };
    if (secret != nullptr)
        for_each_masked(text, *secret, out);
    else
        out(text);
    std::fwrite("\r\n", 1, 2, f);
}

enum class Opened { ok, refused, failed };

// Opens the log for appending; moves a file past the size limit aside first.
// A file that cannot be moved aside is started afresh, so the log never grows
// without bound; the new file says so in its first line.
std::FILE *open_log(Opened &how, int64_t when) noexcept {
    platform::FileOpen result{};
    std::FILE *f = platform::file_open_regular(g_path, platform::FileMode::append, &result);
    how = f != nullptr                                ? Opened::ok
          : result == platform::FileOpen::not_regular ? Opened::refused
                                                      : Opened::failed;
    if (f == nullptr) return nullptr;
    if (std::fseek(f, 0, SEEK_END) != 0 || std::ftell(f) <= kLogRotateBytes) return f;
    std::fclose(f);
    char rotated[kPathCap + sizeof kRotatedSuffix];
    size_t n = copy_text(rotated, sizeof rotated, g_path);
    copy_text(rotated + n, sizeof rotated - n, kRotatedSuffix);
    if (platform::file_replace(g_path, rotated))
        return platform::file_open_regular(g_path, platform::FileMode::append, nullptr);
    f = platform::file_open_regular(g_path, platform::FileMode::truncate, nullptr);
    if (f != nullptr)
        write_masked(f, when,
                     "log_rotate_failed; the earlier lines could not be moved aside and were dropped",
                     nullptr);
    return f;
}

// One whole line under the file lock: time stamp, masked text, "\r\n". The
// time is read here unless the caller brings its own.
void write_line(const int64_t *when, std::string_view text, bool masked_already = false) noexcept {
    const Secret secret = current_secret();
    bool tell_refusal = false;
    char path[kPathCap];
    {
        platform::LockGuard guard(g_file_lock);
        if (!g_active.load(std::memory_order_relaxed)) return; // turned off meanwhile
        const int64_t now = when != nullptr ? *when : platform::time_now();
        Opened how = Opened::failed;
        if (std::FILE *f = open_log(how, now)) {
            write_masked(f, now, text, masked_already ? nullptr : &secret);
            std::fclose(f);
        } else if (how == Opened::refused && !g_refusal_told) {
            g_refusal_told = true;
            tell_refusal = true;
            copy_text(path, sizeof path, g_path);
        }
    }
    // Told outside the file lock: the host's log call may take a while.
    if (tell_refusal) {
        char message[kPathCap + 80];
        std::snprintf(message, sizeof message,
                      "the log file %s is not a regular file; nothing is written to it", path);
        tell_host(message, false);
    }
}

} // namespace

void log_configure(bool debug_log, const char *log_path) noexcept {
    platform::LockGuard guard(g_file_lock);
    copy_text(g_path, sizeof g_path, log_path == nullptr ? "" : log_path);
    g_refusal_told = false;
    g_active.store(debug_log && g_path[0] != '\0', std::memory_order_release);
}

void log_set_host_sink(HostLogSink sink) noexcept {
    g_sink.store(sink, std::memory_order_release);
}

void log_set_secret(const char *secret) noexcept {
    platform::LockGuard guard(g_secret_lock);
    copy_text(g_secret, sizeof g_secret, secret == nullptr ? "" : secret);
}

namespace {

// Formats a message whole (the file log sets no length limit of its own) and
// hands it to use; a message that cannot be formatted is dropped.
template <typename Use> void with_formatted(const char *fmt, std::va_list args, Use use) noexcept {
    std::va_list again;
    va_copy(again, args);
    char stack_text[kStackLineCap];
    const int n = std::vsnprintf(stack_text, sizeof stack_text, fmt, args);
    if (n >= 0 && static_cast<size_t>(n) < sizeof stack_text) {
        use(std::string_view(stack_text, static_cast<size_t>(n)));
    } else if (n >= 0) {
        std::unique_ptr<char[]> heap_text(new (std::nothrow) char[static_cast<size_t>(n) + 1]);
        if (heap_text) {
            std::vsnprintf(heap_text.get(), static_cast<size_t>(n) + 1, fmt, again);
            use(std::string_view(heap_text.get(), static_cast<size_t>(n)));
        }
    }
    va_end(again);
}

} // namespace

void file_log(const char *fmt, ...) noexcept {
    if (!g_active.load(std::memory_order_acquire)) return;
    std::va_list args;
    va_start(args, fmt);
    with_formatted(fmt, args, [](std::string_view text) { write_line(nullptr, text); });
    va_end(args);
}

void main_log(const char *fmt, ...) noexcept {
    // Masked before the cut at 1023 characters, so that no part of the key
    // survives at the end of a long message.
    char message[kMessageCap];
    message[0] = '\0';
    std::va_list args;
    va_start(args, fmt);
    with_formatted(fmt, args, [&message](std::string_view text) {
        masked_copy(message, sizeof message, text, current_secret());
    });
    va_end(args);
    tell_host(message, true);
    if (g_active.load(std::memory_order_acquire)) write_line(nullptr, message, true);
}

void file_log_text_at(int64_t when, const char *text) noexcept {
    if (!g_active.load(std::memory_order_acquire)) return;
    write_line(&when, text == nullptr ? "" : text);
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
