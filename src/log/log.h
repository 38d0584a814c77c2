// The two logging operations: the file log (time-stamped lines in a file beside
// the library, only while debug_log is on) and the main log (the host's log with
// the "[marlpike_voice] " prefix, then the file log).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#if defined(__MINGW32__)
#define MV_PRINTF(fmt_index, first_arg) __attribute__((format(gnu_printf, fmt_index, first_arg)))
#elif defined(__GNUC__)
#define MV_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define MV_PRINTF(fmt_index, first_arg)
#endif

namespace mv {

// Where the main log sends its prefixed line; returns nothing, never fails.
using HostLogSink = void (*)(const char *line);

// Set by init before anything logs; read without a lock afterwards.
void log_configure(bool debug_log, const char *log_path) noexcept;
void log_set_host_sink(HostLogSink sink) noexcept;
// The api_key: every occurrence of it, in any letter case, in any line of either log is replaced by
// kSecretMask, whatever the text came from (a server's reply, a setting).
void log_set_secret(const char *secret) noexcept;
inline constexpr char kSecretMask[] = "<api_key>";

void file_log(const char *fmt, ...) noexcept MV_PRINTF(1, 2);
void main_log(const char *fmt, ...) noexcept MV_PRINTF(1, 2);
// Writes an already formatted message with a given calendar time.
void file_log_text_at(int64_t when, const char *text) noexcept;

// "[YYYY-MM-DD hh:mm:ss] " into out (at least 23 bytes); returns 22.
size_t format_timestamp(char *out, size_t cap, const std::tm &t) noexcept;

// The file is moved to "<log>.1" once it passes this size (started afresh
// when that move fails, so it never grows without bound).
inline constexpr long kLogRotateBytes = 8L * 1024 * 1024;

} // namespace mv
