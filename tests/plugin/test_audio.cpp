// The whole path from host to ears: the host joins a server with a roster, the
// worker authenticates to the scripted falloff server with the local alias and
// an independently computed proof, the server's UPDATE2 arrives, and every
// speaker's buffer comes out scaled by its gain and equal-power pan, in mono,
// stereo and six channels, with the traced calls written exactly. Leaving the
// server silences everyone.
//
// Natively the same calls keep the rules of a real-time thread: no allocation
// and no file call, traced calls included. This program replaces malloc and
// friends and the file calls for the whole process (the plugin binds to them
// when it is loaded) and counts what the calling thread does while armed
// around one callback. Windows binds otherwise, and a sanitizer brings its own
// allocator.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <optional>

#include "session.h"

#if !defined(_WIN32) && !defined(MV_SANITIZED)
#define MV_COUNTS_CALLS 1
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace {

// Zero-initialised thread_locals of the executable live in its static TLS
// block: reading them allocates nothing, even inside malloc.
thread_local bool t_armed = false;
thread_local unsigned t_allocations = 0, t_file_calls = 0;

} // namespace

#if defined(MV_COUNTS_CALLS)
namespace {
inline void bump(unsigned &counter) {
    if (t_armed) ++counter;
}
} // namespace

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *pointer, size_t size);
void __libc_free(void *pointer);
}

// operator new and delete of the C++ runtime call the allocation functions,
// so they count too. The file calls go on to the next definition, the C
// library's.
#define MV_INTERPOSE extern "C" __attribute__((visibility("default")))
#define MV_ALLOCATION(ret, name, params, args)                                                               \
    MV_INTERPOSE ret name params noexcept {                                                                  \
        bump(t_allocations);                                                                                 \
        return __libc_##name args;                                                                           \
    }
#define MV_FILE_CALL(ret, name, params, args)                                                                \
    MV_INTERPOSE ret name params {                                                                           \
        bump(t_file_calls);                                                                                  \
        static const auto next = reinterpret_cast<ret(*) params>(dlsym(RTLD_NEXT, #name));                   \
        return next args;                                                                                    \
    }
MV_ALLOCATION(void *, malloc, (size_t size), (size))
MV_ALLOCATION(void *, calloc, (size_t count, size_t size), (count, size))
MV_ALLOCATION(void *, realloc, (void *pointer, size_t size), (pointer, size))
MV_ALLOCATION(void, free, (void *pointer), (pointer))
MV_FILE_CALL(FILE *, fopen, (const char *path, const char *mode), (path, mode))
MV_FILE_CALL(FILE *, fopen64, (const char *path, const char *mode), (path, mode))
MV_FILE_CALL(size_t, fwrite, (const void *data, size_t size, size_t n, FILE *file), (data, size, n, file))
MV_FILE_CALL(ssize_t, write, (int fd, const void *data, size_t size), (fd, data, size))
#endif

namespace mvtest {
namespace {

constexpr ConnectionId kConnection = 4;
constexpr UserId kStranger = 99;

struct Speaker {
    UserId id;
    const char *name;
    bool has_row;
    float gain, pan; // as they must be applied, after clamping
};

// The server names the first seven; VC-Fox_1 as vc-fox_1, VC-Loud with values
// out of range. VC-NoRow is in Mumble's roster but not in the update; the
// host has no name for the last speaker.
const Speaker kSpeakers[] = {
    {10, "VC-L", true, 1.0f, -1.0f},    {11, "VC-HL", true, 1.0f, -0.5f},
    {12, "VC-C", true, 1.0f, 0.0f},     {13, "VC-HR", true, 1.0f, 0.5f},
    {14, "VC-R", true, 1.0f, 1.0f},     {15, "VC-Fox_1", true, 0.5f, -0.2f},
    {16, "VC-Loud", true, 1.0f, 1.0f},  {17, "VC-NoRow", false, 0.0f, 0.0f},
    {kStranger, "", false, 0.0f, 0.0f},
};
constexpr char kUpdate[] =
    "UPDATE2 VC-L 1 -1, VC-HL 1 -0.5, VC-C 1 0, VC-HR 1 0.5, VC-R 1 1, vc-fox_1 0.5 -0.2, VC-Loud 1.5 3";

struct Layout {
    uint16_t channels;
    uint32_t frames;
};
constexpr Layout kLayouts[] = {{1, 441}, {2, 960}, {6, 600}, {2, 0}};

// Distinct values of both signs, largest magnitude 0.875, so that a sample
// given the wrong factor (or none) shows.
std::vector<float> pattern(Layout layout) {
    std::vector<float> v(size_t{layout.frames} * layout.channels);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = (i % 2 == 0 ? 1.0f : -1.0f) * (0.125f + static_cast<float>(i % 13) * 0.0625f);
    return v;
}

float peak(const std::vector<float> &v) {
    return std::accumulate(v.begin(), v.end(), 0.0f,
                           [](float p, float x) { return std::max(p, std::fabs(x)); });
}

// Floats passed to snprintf become doubles, as the plugin's own do.
std::string trace_line(uint32_t sequence, const Speaker &s, const char *alias, bool alias_found,
                       Layout layout, float left, float right, float before, float after) {
    char line[512];
    std::snprintf(
        line, sizeof line,
        "audio_apply sequence=%u user_id=%u alias=%s alias_found=%d state_found=%d gain=%.4f pan=%.4f "
        "channels=%u samples=%u rate=48000 left_multiplier=%.4f right_multiplier=%.4f "
        "peak_before=%.6f peak_after=%.6f peak_ratio=%.4f",
        sequence, s.id, alias, alias_found, s.has_row, s.gain, s.pan, layout.channels, layout.frames, left,
        right, before, after, before > 1e-7f ? after / before : 0.0f);
    return line;
}

struct Counts {
    unsigned allocations, file_calls;
};

// Arms the counters around exactly one call of fn on this thread.
template <typename Fn> Counts counted(Fn fn) {
    t_allocations = t_file_calls = 0;
    t_armed = true;
    fn();
    t_armed = false;
    return {t_allocations, t_file_calls};
}

TEST(Audio, EverySpeakerScaledAsTheServerSaysInRealTimeUntilTheServerIsLeft) {
    ScriptServer server({Step::handshake(handshake()), Step::send_line(kUpdate), Step::expect_close()});
    // A host that keeps no log lines allocates nothing of its own while the
    // plugin starts outside a session: what is counted there is the plugin's.
    Plugin p(settings(server.port()), false, {.keep_log_lines = false});
    bool started = false;
    [[maybe_unused]] const Counts startup =
        p.host.on_main([&] { return counted([&] { started = p.host.start(); }); });
    ASSERT_TRUE(started);
#if defined(MV_COUNTS_CALLS)
    ASSERT_GT(startup.allocations, 0u) << "the plugin does not bind to this program's allocator";
    ASSERT_GT(startup.file_calls, 0u) << "the plugin does not bind to this program's file calls";
#endif
    std::vector<RosterUser> users;
    for (const Speaker &s : kSpeakers)
        if (*s.name) users.push_back({s.id, s.name, std::string(40, static_cast<char>('a' + s.id % 26))});
    p.host.join(kConnection, roster(users));
    ASSERT_TRUE(p.wait_log("received UPDATE2 with 7 speakers")); // the update is in the table

    // The test thread plays the host's audio thread. The calls that pass the
    // callback's gate are how the plugin numbers (and samples) its traces.
    const AudioThreadMark audio_thread;
    uint32_t sequence = 0;
    const auto fetch = [&](std::vector<float> &pcm, Layout layout, UserId user) {
        float spare = 0.0f; // a call without samples still has a buffer
        float *samples = pcm.empty() ? &spare : pcm.data();
        bool processed = false;
        const Counts c = counted([&] {
            processed = p.host.plugin().onAudioSourceFetched(samples, layout.frames, layout.channels, 48000,
                                                             true, user);
        });
        EXPECT_EQ(c.allocations + c.file_calls, 0u) << "call " << sequence + 1 << ": " << c.allocations
                                                    << " allocations, " << c.file_calls << " file calls";
        sequence += processed ? 1 : 0;
        return processed;
    };
    // Silent calls for a stranger until the next call is traced (multiple of 100).
    const auto advance_to_traced = [&] {
        std::vector<float> one(2, 0.5f);
        while ((sequence + 1) % 100 != 0)
            ASSERT_TRUE(fetch(one, {2, 1}, kStranger));
    };

    std::vector<std::string> want_traces;
    for (const Speaker &s : kSpeakers) {
        for (const Layout &layout : kLayouts) {
            SCOPED_TRACE(std::string(s.name) + ", " + std::to_string(layout.channels) + " channels");
            const std::vector<float> in = pattern(layout);
            std::vector<float> out = in;
            ASSERT_TRUE(fetch(out, layout, s.id));
            const Heard pan = expected(s.gain, s.pan); // the law as written, in 32-bit floats
            const float left = layout.channels == 1 ? s.gain : pan.left;
            const float right = layout.channels == 1 ? s.gain : pan.right;
            for (size_t i = 0; i < in.size(); ++i) {
                const size_t channel = i % layout.channels;
                const float factor = channel == 0 ? left : channel == 1 ? right : s.gain;
                ASSERT_EQ(out[i], in[i] * factor) << "sample " << i;
            }
            if (sequence <= 5)
                want_traces.push_back(
                    trace_line(sequence, s, s.name, true, layout, left, right, peak(in), peak(out)));
        }
    }
    // The first five calls were traced, exactly as they were made. A mono call
    // reports the gain as both multipliers.
    ASSERT_TRUE(p.wait_log("audio_apply sequence=5 "));
    std::vector<std::string> traces;
    for (const std::string &m : p.log())
        if (m.starts_with("audio_apply")) traces.push_back(m);
    EXPECT_EQ(traces, want_traces);

    // A traced call while joined, then leaving the server: both tables are
    // emptied, and the same call is silent and finds no alias. The row was
    // sent as vc-fox_1; the trace shows the alias in the map's form.
    const Speaker &fox = kSpeakers[5];
    const Layout stereo{2, 960};
    advance_to_traced();
    std::vector<float> out = pattern(stereo);
    ASSERT_TRUE(fetch(out, stereo, fox.id));
    const std::string joined_trace =
        trace_line(sequence, fox, "VC-Fox_1", true, stereo, expected(0.5f, -0.2f).left,
                   expected(0.5f, -0.2f).right, 0.875f, peak(out));
    p.host.leave();
    EXPECT_TRUE(server.wait_for_peer_close(0));
    advance_to_traced();
    out = pattern(stereo);
    ASSERT_TRUE(fetch(out, stereo, fox.id));
    EXPECT_EQ(peak(out), 0.0f);
    const Speaker forgotten{fox.id, fox.name, false, 0.0f, 0.0f};
    const std::string left_trace =
        trace_line(sequence, forgotten, "<redacted>", false, stereo, 0, 0, 0.875f, 0);
    // The traces reach the file all the same, written later by another thread.
    ASSERT_TRUE(p.wait_log(left_trace));
    EXPECT_EQ(p.count(joined_trace), 1u) << joined_trace;
    EXPECT_EQ(p.count("audio_apply "), 7u); // calls 1 to 5, 100 and 200
    p.finish(&server);
    EXPECT_EQ(server.connections(), 1u);
}

// One call of a stereo buffer, every sample at value but one (NaN at index
// `odd`, when given); what the plugin left of it.
std::vector<float> play(Plugin &p, UserId user, float value, std::optional<size_t> odd = std::nullopt) {
    std::vector<float> pcm(2 * 960, value);
    if (odd) pcm[*odd] = std::nanf("");
    p.host.audio_source_fetched(pcm.data(), 960, 2, user);
    return pcm;
}

bool all_zero(const std::vector<float> &pcm) {
    return std::all_of(pcm.begin(), pcm.end(), [](float x) { return x == 0.0f; });
}

bool all_finite(const std::vector<float> &pcm) {
    return std::all_of(pcm.begin(), pcm.end(), [](float x) { return std::isfinite(x); });
}

// The memory of the low-pass and the radio through the callback, without
// smoothing: they never resume from an output older than the speaker's
// previous call (Fox muffled on the radio, clear, then again within 250 ms,
// heard on silence), a NaN sample stays in its own call, and silence after a
// loud call becomes exact zeros (Owl).
TEST(Audio, TheMuffleFilterStartsCleanAndLeavesNothingBehind) {
    constexpr UserId kFox = 20, kOwl = 21;
    const auto update = [](const char *fox) {
        return std::string("UPDATE3 VC-Fox ") + fox + ", VC-Owl 1 0 1 1";
    };
    ScriptServer server({Step::handshake(handshake()), Step::send_line(update("1 0 0.8 1")), Step::gate(),
                         Step::send_line(update("1 0 0 0")), Step::gate(),
                         Step::send_line(update("1 0 0.8 1")), Step::expect_close()});
    Plugin p(settings(server.port()));
    ASSERT_TRUE(p.host.start(roster({{kFox, "VC-Fox", ""}, {kOwl, "VC-Owl", ""}}), kConnection));
    const auto next_update = [&](size_t n) {
        if (n > 1) server.open_gate();
        ASSERT_TRUE(p.wait_log("received UPDATE3 with 2 speakers", n));
    };
    next_update(1);
    std::vector<float> tone(2 * 960); // a constant would leave the radio silent, and nothing in its memory
    for (size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<float>(std::sin(0.13 * static_cast<double>(i / 2) + 0.3));
    p.host.audio_source_fetched(tone.data(), 960, 2, kFox);
    EXPECT_NE(tone[1918], 0.0f);
    next_update(2);
    EXPECT_TRUE(all_zero(play(p, kFox, 0.0f)));
    next_update(3);
    EXPECT_TRUE(all_zero(play(p, kFox, 0.0f))) << "the filter resumed from an output two calls old";

    EXPECT_FALSE(all_finite(play(p, kOwl, 1.0f, 100)));
    EXPECT_TRUE(all_finite(play(p, kOwl, 1.0f))) << "a NaN sample reached the next call";
    for (int call = 0; call < 2; ++call)
        play(p, kOwl, 0.0f);
    EXPECT_TRUE(all_zero(play(p, kOwl, 0.0f))) << "silence did not settle to exact zeros";
    p.finish(&server);
}

// The radio voice as a listener measures it, through the callback: at radio
// 1, tones of amplitude 0.5 at the radio (panned hard left, where the
// multiplier is 1), 1 kHz within 3 dB of the clean voice, 100 Hz and 8 kHz at
// least 15 dB below that, and 3% to 30% distortion at 1 kHz. At radio 0 no
// filter runs: the samples are exactly gain and pan's.
TEST(Audio, TheRadioVoiceMeasuredThroughTheCallback) {
    constexpr UserId kFox = 20, kOwl = 21;
    ScriptServer server({Step::handshake(handshake()),
                         Step::send_line("UPDATE3 VC-Fox 1 -1 0 1, VC-Owl 1 -1 0 0"), Step::expect_close()});
    Plugin p(settings(server.port()));
    ASSERT_TRUE(p.host.start(roster({{kFox, "VC-Fox", ""}, {kOwl, "VC-Owl", ""}}), kConnection));
    ASSERT_TRUE(p.wait_log("received UPDATE3 with 2 speakers"));
    constexpr uint32_t kCall = 960, kCalls = 30, kKept = 10; // the last 10 calls, once the filter has settled
    const auto tone = [&](UserId user, double hz) {
        std::vector<float> left;
        for (uint32_t call = 0; call < kCalls; ++call) {
            std::vector<float> pcm(2 * kCall);
            for (uint32_t f = 0; f < kCall; ++f)
                pcm[2 * f] = pcm[2 * f + 1] =
                    static_cast<float>(0.5 * std::sin(6.283185307179586 * hz * (call * kCall + f) / 48000.0));
            const std::vector<float> in = pcm;
            p.host.audio_source_fetched(pcm.data(), kCall, 2, user);
            for (uint32_t f = 0; user == kOwl && f < kCall; ++f) // exactly left times 1, right times 0
                EXPECT_TRUE(pcm[2 * f] == in[2 * f] && pcm[2 * f + 1] == 0.0f) << "frame " << f;
            for (uint32_t f = 0; call >= kCalls - kKept && f < kCall; ++f)
                left.push_back(pcm[2 * f]);
        }
        return left;
    };
    // The amplitude at hz in x (which holds whole cycles of every tone measured).
    const auto amplitude = [](const std::vector<float> &x, double hz) {
        double c = 0, s = 0;
        for (size_t i = 0; i < x.size(); ++i) {
            c += x[i] * std::cos(6.283185307179586 * hz * static_cast<double>(i) / 48000.0);
            s += x[i] * std::sin(6.283185307179586 * hz * static_cast<double>(i) / 48000.0);
        }
        return 2.0 * std::hypot(c, s) / static_cast<double>(x.size());
    };
    const auto db = [](double ratio) { return 20.0 * std::log10(ratio); };
    const double clean = amplitude(tone(kOwl, 1000), 1000);
    EXPECT_NEAR(clean, 0.5, 1e-3);
    const std::vector<float> radio = tone(kFox, 1000);
    const double level = amplitude(radio, 1000);
    double harmonics = 0;
    for (int h = 2; h <= 7; ++h)
        harmonics += std::pow(amplitude(radio, 1000.0 * h), 2);
    const double thd = std::sqrt(harmonics) / level;
    EXPECT_NEAR(db(level / clean), 0.0, 3.0);
    EXPECT_TRUE(thd >= 0.03 && thd <= 0.30) << "distortion " << thd;
    for (double hz : {100.0, 8000.0})
        EXPECT_LE(db(amplitude(tone(kFox, hz), hz) / level), -15.0) << hz << " Hz";
    p.finish(&server);
}

// With smoothing, a speaker new to the callback, or back after more than
// 250 ms, starts at the server's values: no fade in from silence, no ramp from
// the levels of before the pause.
TEST(Audio, WithSmoothingANewOrReturningSpeakerStartsAtTheTarget) {
    constexpr UserId kFox = 20;
    ScriptServer server({Step::handshake(handshake()), Step::send_line("UPDATE2 VC-Fox 1 -0.5"), Step::gate(),
                         Step::send_line("UPDATE2 VC-Fox 0.5 0.5"), Step::expect_close()});
    Plugin p(settings(server.port(), "smoothing_ms=1000\n"));
    ASSERT_TRUE(p.host.start(roster({{kFox, "VC-Fox", ""}}), kConnection));
    ASSERT_TRUE(p.wait_log("received UPDATE2 with 1 speakers"));
    EXPECT_EQ(p.hear(kFox), expected(1.0f, -0.5f));
    server.open_gate();
    ASSERT_TRUE(p.wait_log("received UPDATE2 with 1 speakers", 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(400)); // past the 250 ms
    EXPECT_EQ(p.hear(kFox), expected(0.5f, 0.5f));
    p.finish(&server);
}

} // namespace
} // namespace mvtest
