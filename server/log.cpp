#include "log.h"

#include <chrono>
#include <ctime>

namespace mvserver {

std::string utc_timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t secs = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
    return buf;
}

Log::Log(std::FILE *out, const std::string &path) : out_(out), path_(path) {
    if (!path_.empty()) file_ = std::fopen(path_.c_str(), "a");
}

Log::~Log() {
    if (file_ != nullptr) std::fclose(file_);
}

void Log::event(std::string_view event, std::string_view fields) {
    std::string line = utc_timestamp();
    line += ' ';
    line += event;
    if (!fields.empty()) {
        line += ' ';
        line += fields;
    }
    line += '\n';
    const std::lock_guard lock(mutex_);
    for (std::FILE *f : {out_, file_})
        if (f != nullptr) {
            std::fwrite(line.data(), 1, line.size(), f);
            std::fflush(f);
        }
}

} // namespace mvserver
