// The server's log: one line per event, "<UTC time> <event> key=value ...",
// to stdout and, if asked, appended to a file. Values never hold spaces
// (aliases go through sanitize()), so every line splits on spaces.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace mvserver {

class Log {
  public:
    // out may be null; path may be empty.
    Log(std::FILE *out, const std::string &path);
    ~Log();
    Log(const Log &) = delete;
    Log &operator=(const Log &) = delete;

    [[nodiscard]] bool ok() const { return path_.empty() || file_ != nullptr; }
    // event and fields as given: "link_open id=3 addr=127.0.0.1".
    void event(std::string_view event, std::string_view fields = {});

  private:
    std::mutex mutex_;
    std::FILE *out_;
    std::string path_;
    std::FILE *file_ = nullptr;
};

// "2026-01-02T03:04:05.678Z".
[[nodiscard]] std::string utc_timestamp();

} // namespace mvserver
