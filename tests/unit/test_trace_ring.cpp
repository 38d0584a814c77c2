#include "log/trace_ring.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "log/log.h"
#include "log_fixture.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kRingSlots = 256;

mv::AudioTrace make_trace(uint32_t user_id, uint32_t sequence, int64_t when = 0) {
    mv::AudioTrace t{};
    t.when = when;
    t.sequence = sequence;
    t.user_id = user_id;
    std::snprintf(t.alias, sizeof t.alias, "VC-User%u", user_id);
    t.channels = 2;
    t.samples = 960;
    t.rate = 48000;
    return t;
}

std::string formatted(const mv::AudioTrace &t) {
    char buf[1024];
    mv::format_audio_trace(buf, sizeof buf, t);
    return buf;
}

class TraceRingTest : public mvunit::LogFileTest {
  protected:
    void SetUp() override {
        // Start from an empty ring whatever earlier tests left in it.
        mv::log_configure(false, "");
        mv::trace_drain();
        LogFileTest::SetUp();
    }
    void TearDown() override {
        mv::trace_drain_stop();
        LogFileTest::TearDown();
        mv::trace_drain();
    }
    // (user_id, sequence) of each line, in file order.
    std::vector<std::pair<unsigned, unsigned>> ids() {
        std::vector<std::pair<unsigned, unsigned>> out;
        for (const std::string &line : lines()) {
            if (line.find("audio_trace_dropped") != std::string::npos) continue;
            unsigned seq = 0, user = 0;
            EXPECT_EQ(std::sscanf(line.c_str() + 22, "audio_apply sequence=%u user_id=%u", &seq, &user), 2)
                << line;
            out.emplace_back(user, seq);
        }
        return out;
    }
};

TEST(TraceFormat, ExactLine) {
    mv::AudioTrace t{};
    t.sequence = 100;
    t.user_id = 7;
    std::snprintf(t.alias, sizeof t.alias, "VC-Fox");
    t.alias_found = 1;
    t.state_found = 1;
    t.gain = 0.5f;
    t.pan = -0.2f;
    t.channels = 2;
    t.samples = 960;
    t.rate = 48000;
    t.left = 0.3873f;
    t.right = 0.3162f;
    t.peak_before = 0.25f;
    t.peak_after = 0.1f;
    t.peak_ratio = 0.4f;
    const char *want = "audio_apply sequence=100 user_id=7 alias=VC-Fox alias_found=1 state_found=1 "
                       "gain=0.5000 pan=-0.2000 channels=2 samples=960 rate=48000 left_multiplier=0.3873 "
                       "right_multiplier=0.3162 peak_before=0.250000 peak_after=0.100000 peak_ratio=0.4000";
    char buf[1024];
    EXPECT_EQ(mv::format_audio_trace(buf, sizeof buf, t), std::strlen(want));
    EXPECT_STREQ(buf, want);
    // A muffled speaker's line says so at its end, then a radio's; a clear one's never does.
    t.muffle = 0.25f;
    EXPECT_EQ(formatted(t), std::string(want) + " muffle=0.2500");
    t.radio = 0.75f;
    EXPECT_EQ(formatted(t), std::string(want) + " muffle=0.2500 radio=0.7500");
    t.muffle = 0.0f;
    EXPECT_EQ(formatted(t), std::string(want) + " radio=0.7500");

    // A short buffer is cut and terminated.
    char small[12];
    EXPECT_EQ(mv::format_audio_trace(small, sizeof small, t), 11u);
    EXPECT_STREQ(small, "audio_apply");
}

TEST_F(TraceRingTest, DrainWritesInOrderWithCallTime) {
    std::vector<mv::AudioTrace> pushed;
    for (uint32_t i = 0; i < 10; ++i) {
        pushed.push_back(make_trace(3, i, 1000000 + 3600 * i));
        ASSERT_TRUE(mv::trace_push(pushed.back()));
    }
    mv::trace_drain();
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), pushed.size());
    for (size_t i = 0; i < pushed.size(); ++i)
        EXPECT_EQ(got[i], mvunit::stamp_at(pushed[i].when) + formatted(pushed[i]));
    // Drained records are gone.
    mv::trace_drain();
    EXPECT_EQ(lines().size(), pushed.size());
}

TEST_F(TraceRingTest, FullRingDropsNewRecords) {
    // Twice round, so that the slots' sequence numbers have wrapped once.
    for (uint32_t round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        for (uint32_t i = 0; i < kRingSlots; ++i)
            ASSERT_TRUE(mv::trace_push(make_trace(round, i)));
        EXPECT_FALSE(mv::trace_push(make_trace(round, 9999)));
        mv::trace_drain();
    }
    std::vector<std::pair<unsigned, unsigned>> got = ids();
    ASSERT_EQ(got.size(), 2 * kRingSlots);
    // Each drop is counted, and the next drain says so after the lines it wrote.
    const std::vector<std::string> all = lines();
    ASSERT_EQ(all.size(), 2 * kRingSlots + 2);
    EXPECT_EQ(all[kRingSlots].substr(22), "audio_trace_dropped count=1");
    EXPECT_EQ(all.back().substr(22), "audio_trace_dropped count=1");
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(got[i], std::make_pair(unsigned(i / kRingSlots), unsigned(i % kRingSlots)));
    EXPECT_TRUE(mv::trace_push(make_trace(5, 5)));
}

TEST_F(TraceRingTest, ConcurrentProducersAndConsumerLoseNothing) {
    constexpr uint32_t kProducers = 4;
    constexpr uint32_t kPerProducer = 1500; // several times the ring, so producers meet a full ring
    std::atomic<uint32_t> done{0};
    std::vector<std::thread> threads;
    for (uint32_t p = 0; p < kProducers; ++p) {
        threads.emplace_back([p, &done] {
            for (uint32_t i = 0; i < kPerProducer; ++i)
                while (!mv::trace_push(make_trace(p, i)))
                    std::this_thread::yield();
            done.fetch_add(1);
        });
    }
    std::thread consumer([&done] {
        while (done.load() < kProducers)
            mv::trace_drain();
        mv::trace_drain();
    });
    for (std::thread &t : threads)
        t.join();
    consumer.join();

    uint32_t next[kProducers] = {};
    for (const auto &[user, seq] : ids()) {
        ASSERT_LT(user, kProducers);
        ASSERT_EQ(seq, next[user]) << "user " << user;
        ++next[user];
    }
    for (uint32_t p = 0; p < kProducers; ++p)
        EXPECT_EQ(next[p], kPerProducer);
}

} // namespace
