// The platform seam on the real system, natively and under Wine: events and
// threads, loopback TCP with every way a wait can end, files with non-ASCII
// names and the environment. HMAC is checked through the proof (test_proof).
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <winsock2.h> // before windows.h
#include <ws2tcpip.h>

#include <windows.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace p = mv::platform;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t kForever = UINT32_MAX;

// ---- Plain sockets for the peer side -----------------------------------------
#ifdef _WIN32
using RawSocket = SOCKET;
constexpr RawSocket kNoRaw = INVALID_SOCKET;
constexpr auto close_raw = &closesocket;
constexpr int kConnReset = WSAECONNRESET;
// Wine's recv reports a reset connection as an orderly close (Windows gives
// WSAECONNRESET); the worker treats both alike.
const bool g_under_wine = [] {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}();
#else
using RawSocket = int;
constexpr RawSocket kNoRaw = -1;
constexpr auto close_raw = &close;
constexpr int kConnReset = ECONNRESET;
const bool g_under_wine = false;
#endif

// A TCP socket bound to 127.0.0.1 on an ephemeral port; listening when backlog >= 0.
RawSocket bind_loopback(int backlog, std::string *port) {
    RawSocket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (s == kNoRaw || bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len) != 0 ||
        (backlog >= 0 && listen(s, backlog) != 0)) {
        if (s != kNoRaw) close_raw(s);
        return kNoRaw;
    }
    *port = std::to_string(ntohs(addr.sin_port));
    return s;
}

// Closes with an RST instead of a FIN.
void reset_raw(RawSocket s) {
    linger lg{};
    lg.l_onoff = 1;
    lg.l_linger = 0;
    setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&lg), sizeof lg);
    close_raw(s);
}

p::Socket connect_to(const char *host, const std::string &port, p::Event *stop, uint32_t timeout_ms,
                     bool *stopped) {
    p::AddressList *list = p::resolve(host, port.c_str());
    if (list == nullptr) return p::kInvalidSocket;
    const p::Socket s = p::connect_first(list, stop, timeout_ms, stopped);
    p::free_addresses(list);
    return s;
}

class PlatformLoopback : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(p::net_startup());
        stop_ = p::event_create();
        ASSERT_NE(stop_, nullptr);
    }
    void TearDown() override {
        for (p::Socket s : clients_)
            p::close_socket(s);
        for (RawSocket s : raws_)
            close_raw(s);
        p::event_destroy(stop_);
        p::net_cleanup();
    }
    RawSocket listen_on(int backlog) {
        RawSocket s = bind_loopback(backlog, &port_);
        if (s != kNoRaw) raws_.push_back(s);
        return s;
    }
    // A listener that never accepts and whose queue is full, so that the
    // handshakes of new connections are dropped and never complete.
    bool listen_full() {
        if (listen_on(0) == kNoRaw) return false;
        for (int i = 0; i < 64; ++i) {
            bool stopped = false;
            const p::Socket queued = connect_to("127.0.0.1", port_, nullptr, 1000, &stopped);
            if (queued == p::kInvalidSocket) return true;
            clients_.push_back(queued);
        }
        return false;
    }
    // A connected pair: our socket and the peer's accepted one.
    bool connect_pair(p::Socket *ours, RawSocket *peer) {
        RawSocket listener = listen_on(4);
        bool stopped = true;
        *ours = connect_to("127.0.0.1", port_, stop_, 10000, &stopped);
        if (listener == kNoRaw || *ours == p::kInvalidSocket || stopped) return false;
        clients_.push_back(*ours);
        *peer = accept(listener, nullptr, nullptr);
        return *peer != kNoRaw;
    }

    p::Event *stop_ = nullptr;
    std::string port_;
    std::vector<p::Socket> clients_;
    std::vector<RawSocket> raws_;
};

} // namespace

// ---- Events and threads ------------------------------------------------------

TEST(PlatformEvent, WaitReportsWhetherSet) {
    enum class Set { never, before, by_another_thread };
    struct Case {
        Set set;
        uint32_t timeout_ms;
    };
    for (const Case c : {Case{Set::never, 0}, Case{Set::never, 20}, Case{Set::before, 0},
                         Case{Set::before, kForever}, Case{Set::by_another_thread, kForever}}) {
        SCOPED_TRACE(testing::Message() << "set=" << static_cast<int>(c.set) << " timeout=" << c.timeout_ms);
        p::Event *event = p::event_create();
        ASSERT_NE(event, nullptr);
        if (c.set == Set::before) p::event_set(event);
        std::thread setter([&] {
            if (c.set != Set::by_another_thread) return;
            p::event_set(event);
            p::event_set(event); // a second set is harmless
        });
        EXPECT_EQ(p::event_wait(event, c.timeout_ms), c.set != Set::never);
        setter.join();
        // Manual reset: a wait does not consume the signal.
        EXPECT_EQ(p::event_is_set(event), c.set != Set::never);
        EXPECT_EQ(p::event_wait(event, 0), c.set != Set::never);
        p::event_destroy(event);
    }
}

namespace {
// A thread body held at a gate until the test opens it.
struct Gate {
    p::Event *open = p::event_create();
    p::Event *done = p::event_create();
    bool ran = false;
    ~Gate() {
        p::event_destroy(open);
        p::event_destroy(done);
    }
    static void run(void *arg) {
        auto *gate = static_cast<Gate *>(arg);
        p::event_wait(gate->open, kForever);
        gate->ran = true;
        p::event_set(gate->done);
    }
};
} // namespace

TEST(PlatformThread, WaitTellsWhetherTheThreadEndedAndReleaseNeverBlocks) {
    Gate joined;
    p::Thread *thread = p::thread_start(Gate::run, &joined);
    ASSERT_NE(thread, nullptr);
    EXPECT_FALSE(p::thread_wait(thread, 0)); // held at the gate
    p::event_set(joined.open);
    EXPECT_TRUE(p::thread_wait(thread, kForever));
    EXPECT_TRUE(joined.ran);
    p::thread_release(thread);

    Gate detached; // released while it still runs
    thread = p::thread_start(Gate::run, &detached);
    ASSERT_NE(thread, nullptr);
    p::thread_release(thread);
    p::event_set(detached.open);
    EXPECT_TRUE(p::event_wait(detached.done, kForever));
}

// ---- Sockets -----------------------------------------------------------------

TEST_F(PlatformLoopback, SendAndReceiveEndAsThePeerDecides) {
    enum class Peer { sends, silent, closes, resets, stopped };
    struct Case {
        const char *name;
        Peer peer;
        uint32_t timeout_ms;
        p::IoStatus expect;
    };
    const Case cases[] = {
        {"data", Peer::sends, 10000, p::IoStatus::ok},
        {"nothing within the timeout", Peer::silent, 30, p::IoStatus::timeout},
        {"orderly close", Peer::closes, 10000, p::IoStatus::closed},
        {"reset", Peer::resets, 10000, p::IoStatus::error},
        {"stop already set", Peer::stopped, 10000, p::IoStatus::stopped},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        p::Socket ours;
        RawSocket peer;
        ASSERT_TRUE(connect_pair(&ours, &peer));
        if (c.peer == Peer::sends) {
            const p::IoResult sent = p::send_bytes(ours, "PING\n", 5, stop_, 10000);
            EXPECT_EQ(sent.status, p::IoStatus::ok);
            char got[5] = {};
            EXPECT_EQ(recv(peer, got, 5, MSG_WAITALL), 5);
            EXPECT_EQ(std::string(got, 5), "PING\n");
            send(peer, "hello", 5, 0);
        }
        if (c.peer == Peer::stopped) p::event_set(stop_);
        if (c.peer == Peer::closes) {
            close_raw(peer);
        } else if (c.peer == Peer::resets) {
            reset_raw(peer);
        } else {
            raws_.push_back(peer);
        }
        char buf[16] = {};
        const p::IoResult r = p::recv_bytes(ours, buf, sizeof buf, stop_, c.timeout_ms);
        const bool wine_reset = c.peer == Peer::resets && g_under_wine;
        EXPECT_EQ(r.status, wine_reset ? p::IoStatus::closed : c.expect);
        if (c.peer == Peer::sends) {
            EXPECT_EQ(std::string(buf, r.count), "hello");
        }
        if (c.peer == Peer::resets && !wine_reset) {
            EXPECT_EQ(r.error, kConnReset);
        }
        if (c.peer == Peer::silent) {
            EXPECT_NE(p::last_socket_error(), 0);
        }
    }
}

TEST_F(PlatformLoopback, StopEndsWaitsThatWouldNeverEnd) {
    for (const bool connecting : {true, false}) {
        SCOPED_TRACE(connecting ? "connect" : "receive");
        p::Event *stop = p::event_create();
        p::Socket ours = p::kInvalidSocket;
        RawSocket peer = kNoRaw;
        if (connecting) {
            ASSERT_TRUE(listen_full());
        } else {
            ASSERT_TRUE(connect_pair(&ours, &peer));
            raws_.push_back(peer);
        }
        bool stopped = false;
        std::thread worker([&] {
            char buf[16];
            if (connecting) {
                EXPECT_EQ(connect_to("127.0.0.1", port_, stop, kForever, &stopped), p::kInvalidSocket);
            } else {
                stopped = p::recv_bytes(ours, buf, sizeof buf, stop, kForever).status == p::IoStatus::stopped;
            }
        });
        // Most likely inside the wait by now; a stop that comes first ends it as well.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        p::event_set(stop);
        worker.join();
        EXPECT_TRUE(stopped);
        p::event_destroy(stop);
    }
}

// ---- Paths, files, environment -----------------------------------------------

namespace {
std::string utf8(const fs::path &path) {
    const std::u8string s = path.u8string();
    return std::string(s.begin(), s.end());
}

void write_file(const fs::path &path, const char *text) {
    std::FILE *f = p::file_open(utf8(path).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs(text, f);
    std::fclose(f);
}

std::string read_file(const fs::path &path) {
    std::FILE *f = p::file_open(utf8(path).c_str(), "rb");
    if (f == nullptr) return "<missing>";
    char buf[64] = {};
    const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    return std::string(buf, n);
}
} // namespace

TEST(PlatformFiles, ReplaceWorksWithNonAsciiNames) {
    struct Case {
        const char *name;
        bool from_exists;
        bool to_exists;
    };
    const Case cases[] = {{"over an existing file", true, true},
                          {"to a new name", true, false},
                          {"missing source", false, true}};
    const fs::path dir = fs::temp_directory_path() / fs::path(u8"mv_тест_платформы");
    fs::remove_all(dir);
    ASSERT_TRUE(fs::create_directories(dir));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path from = dir / fs::path(u8"журнал.tmp");
        const fs::path to = dir / fs::path(u8"журнал.log");
        if (c.from_exists) write_file(from, "new");
        if (c.to_exists) write_file(to, "old");
        // The wide-character view of the directory must see the real names.
        EXPECT_EQ(fs::exists(from), c.from_exists);
        EXPECT_EQ(p::file_replace(utf8(from).c_str(), utf8(to).c_str()), c.from_exists);
        EXPECT_FALSE(fs::exists(from));
        EXPECT_EQ(read_file(to), c.from_exists ? "new" : "old");
        fs::remove(to);
    }
    fs::remove_all(dir);
}

namespace {
void set_env(const char *name, const char *utf8_value) {
#ifdef _WIN32
    wchar_t wname[64];
    wchar_t wvalue[256];
    MultiByteToWideChar(CP_UTF8, 0, name, -1, wname, 64);
    if (utf8_value != nullptr) MultiByteToWideChar(CP_UTF8, 0, utf8_value, -1, wvalue, 256);
    SetEnvironmentVariableW(wname, utf8_value != nullptr ? wvalue : nullptr);
#else
    if (utf8_value != nullptr) {
        setenv(name, utf8_value, 1);
    } else {
        unsetenv(name);
    }
#endif
}
} // namespace

TEST(PlatformEnv, ReadsWholeLengthAndCutsTheCopy) {
    struct Case {
        const char *value;
        size_t cap;
        size_t length;
        const char *copied;
    };
    const Case cases[] = {
        {nullptr, 16, 0, ""},    {"", 16, 0, ""},   {"abc", 16, 3, "abc"},
        {"abcdef", 4, 6, "abc"}, {"abc", 1, 3, ""}, {"Привет", 64, 12, "Привет"}, // UTF-8 both ways
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value != nullptr ? c.value : "(unset)");
        set_env("MV_PLATFORM_TEST_VAR", c.value);
        char buf[64];
        std::memset(buf, '#', sizeof buf);
        EXPECT_EQ(p::env_read("MV_PLATFORM_TEST_VAR", buf, c.cap), c.length);
        EXPECT_STREQ(buf, c.copied);
    }
    set_env("MV_PLATFORM_TEST_VAR", nullptr);
    EXPECT_EQ(p::env_read("MV_PLATFORM_TEST_VAR", nullptr, 0), 0u);
}
