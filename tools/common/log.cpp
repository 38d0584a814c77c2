#include "log.h"

#include <chrono>
#include <cstdarg>
#include <ctime>

#include "os.h"

namespace mvtools {

Logger::Logger(std::FILE *out, const std::string &file_path) : out_(out), file_path_(file_path) {
    if (!file_path_.empty()) file_ = std::fopen(file_path_.c_str(), "a");
}

Logger::~Logger() {
    if (file_ != nullptr) std::fclose(file_);
}

void Logger::line(std::string_view text) {
    const std::string stamped = timestamp_now() + " " + std::string(text) + "\n";
    std::lock_guard lock(mutex_);
    for (std::FILE *f : {out_, file_}) {
        if (f == nullptr) continue;
        std::fwrite(stamped.data(), 1, stamped.size(), f);
        std::fflush(f);
    }
}

void Logger::linef(const char *format, ...) {
    char buf[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    line(buf);
}

std::string timestamp_now() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t secs = system_clock::to_time_t(now);
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    const std::tm tm = local_time(secs);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
    return buf;
}

} // namespace mvtools
