#include "session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
// A name lookup that a stop left behind ends by itself (no one joins it) and
// drops its reference on the library with dlclose, while the host may unload
// the library with dlclose of its own. The loader serialises the two with a lock of its
// own that ThreadSanitizer does not see, and would report the loader's
// allocations as a race: those calls, from uninstrumented code, are ignored.
extern "C" const char *__tsan_default_options() {
    return "ignore_noninstrumented_modules=1";
}
#endif
#endif

namespace mvtest {

std::vector<ProofVector> load_proof_vectors() {
    std::istringstream in(read_file(build_path(MV_TEST_VECTORS "/proof.tsv")).value_or(""));
    return read_proof_vectors(in);
}

const ProofVector &cert40() {
    static const ProofVector vector = [] {
        for (ProofVector &v : load_proof_vectors())
            if (v.note.starts_with("40-hex certificate hash")) return v;
        throw std::runtime_error("tests/vectors/proof.tsv has no 40-hex certificate hash");
    }();
    return vector;
}

long count_entries(const char *dir) {
    std::error_code ec;
    const auto n =
        std::distance(std::filesystem::directory_iterator(dir, ec), std::filesystem::directory_iterator());
    return ec ? -1 : static_cast<long>(n);
}

ResourceCounts steady_counts() {
    std::thread([] {}).join();
    ResourceCounts last = resource_counts();
    // A probe that cannot count would make every comparison pass.
    EXPECT_GT(last.handles, 0);
    EXPECT_GT(last.threads, 0);
    eventually(
        [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const ResourceCounts now = resource_counts();
            const bool same = now.handles == last.handles && now.threads == last.threads;
            last = now;
            return same;
        },
        std::chrono::seconds(1));
    return last;
}

void expect_back_at(const ResourceCounts &before) {
    ResourceCounts now{};
    EXPECT_TRUE(eventually([&] {
        now = resource_counts();
        return now.handles <= before.handles + now.handle_slack && now.threads <= before.threads;
    })) << "handles "
        << before.handles << " -> " << now.handles << ", threads " << before.threads << " -> " << now.threads;
}

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

size_t count_in(const std::vector<std::string> &messages, std::string_view text) {
    return static_cast<size_t>(std::count_if(messages.begin(), messages.end(), [&](const std::string &m) {
        return m.find(text) != std::string::npos;
    }));
}

bool Heard::operator==(const Heard &other) const {
    return std::fabs(left - other.left) < 1e-5f && std::fabs(right - other.right) < 1e-5f;
}

Heard expected(float gain, float pan) {
    return {std::sqrt((1.0f - pan) * 0.5f) * gain, std::sqrt((1.0f + pan) * 0.5f) * gain};
}

Plugin::Plugin(std::optional<std::string> ini, bool non_ascii, HostOptions options)
    : dir(build_path(MV_PLUGIN_LIBRARY), non_ascii), host(dir.library_path(), options) {
    if (ini) dir.write_ini(*ini);
    EXPECT_TRUE(host.loaded()) << host.load_error();
}

std::vector<std::string> Plugin::log() const {
    constexpr size_t kStamp = 22; // "[YYYY-MM-DD hh:mm:ss] " before every message
    std::vector<std::string> out;
    const std::string text = dir.read_log().value_or("");
    for (size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        out.push_back(text.substr(start + kStamp, end - start - kStamp));
    return out;
}

bool Plugin::wait_log(std::string_view text, size_t n) const {
    return eventually([&] { return count(text) >= n; });
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

void Plugin::finish(const ScriptServer *server) {
    host.shutdown();
    EXPECT_EQ(server != nullptr ? server->errors() : kNone, kNone);
    EXPECT_EQ(host.contract_violations(), kNone);
    EXPECT_EQ(host_count(kKey), 0u) << "the api_key reached the host's log";
    EXPECT_EQ(dir.read_log().value_or("").find(kKey), std::string::npos)
        << "the api_key reached the log file";
}

} // namespace mvtest
