#include "log_file.h"

#include <algorithm>
#include <thread>

namespace mvtest {
namespace {

constexpr size_t kStampLength = 22;
constexpr std::chrono::milliseconds kPollEvery{20};

} // namespace

std::vector<std::string> log_messages(const TempPluginDir &dir) {
    std::vector<std::string> out;
    const std::optional<std::string> text = dir.read_log();
    if (!text) return out;
    size_t start = 0;
    for (size_t end; (end = text->find("\r\n", start)) != std::string::npos; start = end + 2) {
        const std::string line = text->substr(start, end - start);
        out.push_back(line.size() >= kStampLength ? line.substr(kStampLength) : line);
    }
    return out;
}

size_t count_containing(const std::vector<std::string> &messages, std::string_view text) {
    return static_cast<size_t>(std::count_if(messages.begin(), messages.end(), [&](const std::string &m) {
        return m.find(text) != std::string::npos;
    }));
}

bool wait_for_log_file(const TempPluginDir &dir, std::string_view text, size_t count,
                       std::chrono::milliseconds deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        if (count_containing(log_messages(dir), text) >= count) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(kPollEvery);
    }
}

} // namespace mvtest
