// The plugin's log file as tests read it: the messages without their time
// stamps, and polling waits for lines that a plugin thread writes.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "plugin_library.h"
#include "wait.h"

namespace mvtest {

// Every complete line of the log file, without its "[YYYY-MM-DD hh:mm:ss] "
// stamp; empty when there is no file. A line still being written is left out.
[[nodiscard]] std::vector<std::string> log_messages(const TempPluginDir &dir);

// How many messages contain text.
[[nodiscard]] size_t count_containing(const std::vector<std::string> &messages, std::string_view text);

// Polls until at least count messages contain text; false at the deadline.
bool wait_for_log_file(const TempPluginDir &dir, std::string_view text, size_t count = 1,
                       std::chrono::milliseconds deadline = kDefaultDeadline);

} // namespace mvtest
