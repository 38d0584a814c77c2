#include "session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace mvtest {

std::string settings(uint16_t port, std::string_view more) {
    return "server_port=" + std::to_string(port) + "\napi_key=" + kKey + "\nreconnect_sec=1\n" +
           std::string(more);
}

Handshake handshake(std::string reply) {
    return {kKey, "VC-Me", cert40().token, cert40().proof, std::move(reply)};
}

std::vector<RosterUser> roster(std::vector<RosterUser> others) {
    others.insert(others.begin(), {kMe, "VC-Me", cert40().key});
    return others;
}

bool operator==(Heard a, Heard b) {
    return std::fabs(a.left - b.left) < 1e-5f && std::fabs(a.right - b.right) < 1e-5f;
}

std::ostream &operator<<(std::ostream &out, Heard h) {
    return out << "{" << h.left << ", " << h.right << "}";
}

Heard expected(float gain, float pan) {
    return {std::sqrt((1.0f - pan) * 0.5f) * gain, std::sqrt((1.0f + pan) * 0.5f) * gain};
}

size_t count_in(const std::vector<std::string> &messages, std::string_view text) {
    return static_cast<size_t>(std::count_if(messages.begin(), messages.end(), [&](const std::string &m) {
        return m.find(text) != std::string::npos;
    }));
}

Plugin::Plugin(std::optional<std::string> ini, bool non_ascii, mvhost::HostOptions options)
    : dir(mvhost::build_path(MV_PLUGIN_LIBRARY), non_ascii), host(dir.library_path(), options) {
    if (ini) dir.write_ini(*ini);
    EXPECT_TRUE(host.loaded()) << host.load_error();
}

std::vector<std::string> Plugin::log() const {
    constexpr size_t kStamp = 22; // "[YYYY-MM-DD hh:mm:ss] "
    std::vector<std::string> out;
    const std::string text = dir.read_log().value_or("");
    for (size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        const std::string line = text.substr(start, end - start);
        out.push_back(line.size() >= kStamp ? line.substr(kStamp) : line);
    }
    return out;
}

bool Plugin::wait_log(std::string_view text, size_t n, std::chrono::milliseconds deadline) const {
    return eventually([&] { return count(text) >= n; }, deadline);
}

Heard Plugin::hear(UserId user) {
    float frame[2] = {1.0f, 1.0f};
    host.audio_source_fetched(frame, 1, 2, user);
    return {frame[0], frame[1]};
}

Heard Plugin::wait_to_hear(UserId user, Heard want, std::chrono::milliseconds deadline) {
    Heard last{};
    eventually([&] { return (last = hear(user)) == want; }, deadline);
    return last;
}

void Plugin::finish() {
    host.shutdown();
    EXPECT_EQ(host.contract_violations(), kNone);
    EXPECT_EQ(host_count(kKey), 0u) << "the api_key reached the host's log";
    EXPECT_EQ(dir.read_log().value_or("").find(kKey), std::string::npos)
        << "the api_key reached the log file";
}

} // namespace mvtest
