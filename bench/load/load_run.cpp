#include "load/load_run.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <deque>
#include <functional>
#include <random>
#include <string_view>
#include <vector>

#include "load/crowd.h"
#include "load/server_process.h"

namespace mvload {
namespace {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

constexpr uint64_t kControlTag = ~uint64_t{0}, kTimerTag = kControlTag - 1;
constexpr double kHeaderBytes = 52;       // IPv4 20 + TCP 20 + timestamps option 12, per data segment
constexpr uint64_t kPingEverySteps = 200; // each link PINGs every 20 s, as the plugin does

volatile std::sig_atomic_t g_stop = 0;

double ms_since(TimePoint a, TimePoint b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

std::string hmac_hex(const std::string &key, std::string_view message) {
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char *>(message.data()), message.size(), d, &n);
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < n; ++i) {
        out += kHex[d[i] >> 4];
        out += kHex[d[i] & 15];
    }
    return out;
}

// A number with up to 3 decimals ("-0.707", "1.000") in thousandths.
bool parse_milli(std::string_view s, int *out) {
    bool neg = false;
    size_t i = 0;
    if (i < s.size() && s[i] == '-') {
        neg = true;
        ++i;
    }
    int whole = 0, frac = 0, digits = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, ++digits)
        whole = whole * 10 + (s[i] - '0');
    if (digits == 0 || i == s.size() || s[i] != '.' || s.size() - i != 4) return false;
    for (++i; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        frac = frac * 10 + (s[i] - '0');
    }
    *out = (neg ? -1 : 1) * (whole * 1000 + frac);
    return true;
}

template <class T> T percentile(std::vector<T> v, double q) {
    if (v.empty()) return T{};
    std::sort(v.begin(), v.end());
    const auto r = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size())));
    return v[std::clamp<size_t>(r, 1, v.size()) - 1];
}

void raise_file_limit(rlim_t need) {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_max < need) lim.rlim_max = need; // as root; else the soft limit below is all
    lim.rlim_cur = lim.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0) {
        getrlimit(RLIMIT_NOFILE, &lim);
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

struct Link {
    enum class State { idle, connecting, hello, proof, up, closed };
    int fd = -1;
    State state = State::idle;
    std::string carry; // a line not yet ended
    size_t last_hash = 0;
};

// The beacon step last written for each probe, with when its line went out.
struct Stamp {
    uint64_t seq = 0;
    TimePoint at{};
    bool stamped = false, answered = true;
};

class Loop {
  public:
    Loop(Crowd &crowd, const RunConfig &config, uint16_t port, uint16_t control_port)
        : crowd_(crowd), config_(config), port_(port), control_port_(control_port), links_(crowd.players()),
          stamps_(crowd.probes(), std::vector<Stamp>(kBeaconSteps)) {
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
    }
    ~Loop() {
        for (Link &l : links_)
            if (l.fd >= 0) close(l.fd);
        if (control_ >= 0) close(control_);
        if (timer_ >= 0) close(timer_);
        close(epoll_);
    }

    bool connect_control(std::string *error);
    void start_steps();
    void arm_step();
    // Runs the loop until done() or the deadline; false at the deadline.
    bool run_until(const std::function<bool()> &done, double seconds);
    void open_more();

    void count(bool on) { counting_ = on; }
    void write_control();
    [[nodiscard]] uint32_t settled() const { return established_ + refused_ + failed_; }

    Crowd &crowd_;
    const RunConfig &config_;
    uint16_t port_, control_port_;
    int epoll_ = -1, control_ = -1, timer_ = -1;
    std::vector<Link> links_;
    uint32_t next_link_ = 0, in_progress_ = 0;
    uint32_t established_ = 0, refused_ = 0, failed_ = 0, held_ = 0, lost_ = 0;
    TimePoint first_connect_{}, last_established_{};

    std::string ctl_out_;
    uint64_t ctl_written_ = 0; // bytes ever written
    std::string ctl_in_;
    bool ctl_watching_out_ = false;
    uint32_t sync_ok_ = 0, control_errors_ = 0;
    struct Mark {
        uint64_t end;
        uint32_t probe;
        uint64_t seq;
    };
    std::deque<Mark> marks_;
    std::vector<size_t> beacon_ends_;
    std::vector<std::vector<Stamp>> stamps_;
    uint64_t steps_skipped_ = 0;
    uint64_t steps_base_ns_ = 0, steps_armed_ = 0;
    std::mt19937_64 jitter_{1919};

    bool counting_ = false;
    uint64_t updates_ = 0, changed_ = 0, malformed_ = 0, entries_ = 0, payload_ = 0, needed_ = 0;
    uint64_t unmatched_ = 0;
    std::vector<double> latencies_;
    char buf_[1 << 16];

  private:
    void on_control(uint32_t events);
    void step();
    void on_link(uint32_t i, uint32_t events);
    void link_line(uint32_t i, std::string_view line);
    void update_line(uint32_t i, std::string_view line);
    void beacon_heard(uint32_t probe, int step_mod);
    void close_link(uint32_t i, bool refused);
    void send_link(Link &l, std::string_view s);
};

bool Loop::connect_control(std::string *error) {
    control_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(control_port_);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(control_, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        *error = std::string("control connect: ") + std::strerror(errno);
        return false;
    }
    fcntl(control_, F_SETFL, fcntl(control_, F_GETFL) | O_NONBLOCK);
    epoll_event ev{EPOLLIN, {.u64 = kControlTag}};
    epoll_ctl(epoll_, EPOLL_CTL_ADD, control_, &ev);
    return true;
}

void Loop::start_steps() {
    timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    epoll_event ev{EPOLLIN, {.u64 = kTimerTag}};
    epoll_ctl(epoll_, EPOLL_CTL_ADD, timer_, &ev);
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    steps_base_ns_ = static_cast<uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(now.tv_nsec);
    arm_step();
}

// Each step at a random moment of its period: the game's ticks keep no
// phase with the server's, so pos-to-wire samples every wait for a tick
// from none to a whole period.
void Loop::arm_step() {
    const auto period_ns = static_cast<uint64_t>(1e9 / kTickHz);
    std::uniform_int_distribution<uint64_t> within(0, period_ns - 1);
    const uint64_t at = steps_base_ns_ + steps_armed_++ * period_ns + within(jitter_);
    itimerspec when{};
    when.it_value.tv_sec = static_cast<time_t>(at / 1'000'000'000u);
    when.it_value.tv_nsec = static_cast<long>(at % 1'000'000'000u);
    timerfd_settime(timer_, TFD_TIMER_ABSTIME, &when, nullptr);
}

bool Loop::run_until(const std::function<bool()> &done, double seconds) {
    const TimePoint until = Clock::now() + std::chrono::microseconds(static_cast<int64_t>(seconds * 1e6));
    epoll_event events[512];
    while (!done()) {
        const TimePoint now = Clock::now();
        if (now >= until || g_stop) return false;
        const int wait = static_cast<int>(std::min(50.0, ms_since(now, until) + 1));
        const int n = epoll_wait(epoll_, events, 512, wait);
        for (int e = 0; e < n; ++e) {
            const uint64_t tag = events[e].data.u64;
            if (tag == kTimerTag) {
                uint64_t expirations = 0;
                if (read(timer_, &expirations, sizeof expirations) > 0) {
                    step();
                    arm_step();
                }
            } else if (tag == kControlTag) {
                on_control(events[e].events);
            } else {
                on_link(static_cast<uint32_t>(tag), events[e].events);
            }
        }
    }
    return true;
}

// ---- the control connection ---------------------------------------------------------

void Loop::write_control() {
    while (!ctl_out_.empty()) {
        const ssize_t n = send(control_, ctl_out_.data(), ctl_out_.size(), MSG_NOSIGNAL);
        if (n <= 0) break;
        ctl_out_.erase(0, static_cast<size_t>(n));
        ctl_written_ += static_cast<uint64_t>(n);
    }
    // Told when the socket takes more only while something waits for it: a
    // writable socket watched for that would wake the loop without end.
    if (ctl_out_.empty() == ctl_watching_out_) {
        ctl_watching_out_ = !ctl_out_.empty();
        epoll_event ev{EPOLLIN | (ctl_watching_out_ ? EPOLLOUT : 0u), {.u64 = kControlTag}};
        epoll_ctl(epoll_, EPOLL_CTL_MOD, control_, &ev);
    }
    // Each beacon line whose last byte is now with the kernel: its clock starts.
    const TimePoint now = Clock::now();
    while (!marks_.empty() && marks_.front().end <= ctl_written_) {
        const Mark m = marks_.front();
        marks_.pop_front();
        Stamp &s = stamps_[m.probe][m.seq % kBeaconSteps];
        if (s.stamped && !s.answered && counting_) ++unmatched_; // never seen within 16 steps
        s = {m.seq, now, true, false};
    }
}

void Loop::on_control(uint32_t events) {
    if (events & EPOLLOUT) write_control();
    if (!(events & (EPOLLIN | EPOLLHUP | EPOLLERR))) return;
    const ssize_t n = recv(control_, buf_, sizeof buf_, 0);
    if (n <= 0) return;
    ctl_in_.append(buf_, static_cast<size_t>(n));
    for (size_t lf; (lf = ctl_in_.find('\n')) != std::string::npos; ctl_in_.erase(0, lf + 1)) {
        const std::string_view line(ctl_in_.data(), lf);
        if (line == "OK") {
            ++sync_ok_;
        } else if (line.starts_with("ERR")) {
            if (++control_errors_ <= 5)
                std::fprintf(stderr, "load: control refused: %.*s\n", static_cast<int>(line.size()),
                             line.data());
        }
    }
}

void Loop::step() {
    // The server has not read the last step yet: skip rather than queue.
    if (!ctl_out_.empty()) {
        ++steps_skipped_;
        return;
    }
    const uint64_t seq = crowd_.step();
    crowd_.append_step(ctl_out_, &beacon_ends_);
    for (uint32_t p = 0; p < beacon_ends_.size(); ++p)
        marks_.push_back({ctl_written_ + beacon_ends_[p], p, seq});
    write_control();
    // Each link PINGs every kPingEverySteps steps, spread over them.
    for (uint32_t i = static_cast<uint32_t>(seq % kPingEverySteps); i < links_.size(); i += kPingEverySteps)
        if (links_[i].state == Link::State::up) send_link(links_[i], "PING\n");
}

// ---- the links --------------------------------------------------------------------

void Loop::open_more() {
    while (next_link_ < links_.size() && in_progress_ < config_.connecting_at_once) {
        const uint32_t i = next_link_++;
        Link &l = links_[i];
        if (next_link_ == 1) first_connect_ = Clock::now();
        l.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in from{}, to{};
        from.sin_family = to.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(Crowd::source_address(i));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port_);
        if (l.fd < 0 || bind(l.fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0 ||
            (connect(l.fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0 && errno != EINPROGRESS)) {
            if (failed_++ < 5) std::fprintf(stderr, "load: link %u: %s\n", i, std::strerror(errno));
            if (l.fd >= 0) close(l.fd);
            l.fd = -1;
            l.state = Link::State::closed;
            continue;
        }
        l.state = Link::State::connecting;
        ++in_progress_;
        epoll_event ev{EPOLLOUT | EPOLLIN, {.u64 = i}};
        epoll_ctl(epoll_, EPOLL_CTL_ADD, l.fd, &ev);
    }
}

void Loop::send_link(Link &l, std::string_view s) {
    // Lines of a few dozen bytes to an open socket: the kernel takes them whole.
    if (send(l.fd, s.data(), s.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(s.size()))
        std::fprintf(stderr, "load: a short send on a link\n");
}

void Loop::close_link(uint32_t i, bool refused) {
    Link &l = links_[i];
    if (l.state == Link::State::up) {
        --held_;
        ++lost_;
    } else if (l.state != Link::State::closed) {
        --in_progress_;
        ++(refused ? refused_ : failed_);
    }
    l.state = Link::State::closed;
    epoll_ctl(epoll_, EPOLL_CTL_DEL, l.fd, nullptr);
    close(l.fd);
    l.fd = -1;
    open_more();
}

void Loop::on_link(uint32_t i, uint32_t events) {
    Link &l = links_[i];
    if (l.state == Link::State::connecting) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(l.fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0 || (events & (EPOLLERR | EPOLLHUP))) {
            close_link(i, false);
            return;
        }
        epoll_event ev{EPOLLIN, {.u64 = i}};
        epoll_ctl(epoll_, EPOLL_CTL_MOD, l.fd, &ev);
        l.state = Link::State::hello;
        send_link(l, "HELLO2 load-generator-key " + Crowd::alias(i) + "\n");
        return;
    }
    const ssize_t n = recv(l.fd, buf_, sizeof buf_, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        close_link(i, false);
        return;
    }
    if (n < 0) return;
    if (counting_) payload_ += static_cast<uint64_t>(n);
    size_t from = 0;
    for (size_t k = 0; k < static_cast<size_t>(n) && l.fd >= 0; ++k) {
        if (buf_[k] != '\n') continue;
        if (l.carry.empty()) {
            link_line(i, std::string_view(buf_ + from, k - from));
        } else {
            l.carry.append(buf_ + from, k - from);
            const std::string line = std::move(l.carry);
            l.carry.clear();
            link_line(i, line);
        }
        from = k + 1;
    }
    if (l.fd >= 0) l.carry.append(buf_ + from, static_cast<size_t>(n) - from);
}

void Loop::link_line(uint32_t i, std::string_view line) {
    Link &l = links_[i];
    switch (l.state) {
    case Link::State::hello:
        if (!line.starts_with("CHALLENGE ")) {
            close_link(i, line.starts_with("ERR"));
            return;
        }
        l.state = Link::State::proof;
        send_link(l, "PROOF " + hmac_hex(Crowd::hash(i), line.substr(10)) + "\n");
        return;
    case Link::State::proof:
        if (line != "OK") {
            close_link(i, line.starts_with("ERR"));
            return;
        }
        l.state = Link::State::up;
        --in_progress_;
        ++established_;
        ++held_;
        last_established_ = Clock::now();
        open_more();
        return;
    case Link::State::up:
        if (line == "PING") {
            send_link(l, "OK\n");
        } else if (line.starts_with("UPDATE")) {
            update_line(i, line);
        } else if (counting_) {
            ++malformed_;
        }
        return;
    default:
        return;
    }
}

void Loop::update_line(uint32_t i, std::string_view line) {
    Link &l = links_[i];
    const size_t h = std::hash<std::string_view>{}(line);
    const bool changed = h != l.last_hash;
    l.last_hash = h;
    const int probe = crowd_.probe_of_listener(i);
    // "UPDATE2 A g p, B g p" or UPDATE3 with the muffle (and a radio).
    bool ok = line.size() >= 7 && (line[6] == '2' || line[6] == '3');
    const size_t numbers_min = ok && line[6] == '3' ? 3 : 2;
    uint64_t entries = 0;
    std::string_view rest = line.substr(std::min<size_t>(7, line.size()));
    if (!rest.empty()) {
        ok = ok && rest.front() == ' ';
        rest.remove_prefix(1);
    }
    while (ok && !rest.empty()) {
        const size_t comma = rest.find(", ");
        std::string_view entry = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 2);
        const size_t space = entry.find(' ');
        const std::string_view alias = entry.substr(0, space);
        size_t numbers = 0;
        int gain = 0;
        while (ok && space != std::string_view::npos && !entry.empty()) {
            entry = entry.substr(entry.find(' ') + 1);
            const size_t next = entry.find(' ');
            int v = 0;
            ok = parse_milli(entry.substr(0, next), &v);
            if (numbers++ == 0) gain = v;
            if (next == std::string_view::npos) break;
        }
        ok = ok && !alias.empty() && numbers >= numbers_min && numbers <= numbers_min + 1;
        ++entries;
        if (ok && probe >= 0 && alias == crowd_.beacon_alias(static_cast<uint32_t>(probe))) {
            const int k = Crowd::beacon_step_of_gain(gain);
            if (k >= 0)
                beacon_heard(static_cast<uint32_t>(probe), k);
            else if (counting_)
                ++unmatched_;
        }
    }
    if (!counting_) return;
    ++updates_;
    entries_ += entries;
    if (!ok) ++malformed_;
    if (changed) {
        ++changed_;
        needed_ += line.size() + 1;
    }
}

// The first update to show the beacon at step k (mod kBeaconSteps) reflects
// that step's pos line and every earlier one of the same beacon.
void Loop::beacon_heard(uint32_t probe, int k) {
    std::vector<Stamp> &ring = stamps_[probe];
    const Stamp &hit = ring[static_cast<size_t>(k)];
    if (!hit.stamped) return;
    const uint64_t upto = hit.seq;
    const TimePoint now = Clock::now();
    for (Stamp &s : ring) {
        if (!s.stamped || s.answered || s.seq > upto) continue;
        s.answered = true;
        if (counting_) latencies_.push_back(ms_since(s.at, now));
    }
}

std::vector<uint64_t> data_segments_in(const std::vector<Link> &links) {
    std::vector<uint64_t> out(links.size(), 0);
    for (size_t i = 0; i < links.size(); ++i) {
        tcp_info info{};
        socklen_t len = sizeof info;
        if (links[i].fd >= 0 && getsockopt(links[i].fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0)
            out[i] = info.tcpi_data_segs_in;
    }
    return out;
}

double cpu_of_self() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

void request_stop() {
    g_stop = 1;
}

RunFigures run_load(const RunConfig &config) {
    RunFigures f;
    raise_file_limit(config.players + 1024);
    CrowdConfig cc;
    cc.players = config.players;
    Crowd crowd(cc);
    f.walls = crowd.walls();
    f.side_m = crowd.side();

    ServerProcess server;
    char near[16], far[16];
    std::snprintf(near, sizeof near, "%g", kNear);
    std::snprintf(far, sizeof far, "%g", kFar);
    if (!server.start(config.server,
                      {"--index", config.index, "--threads", std::to_string(config.threads), "--near", near,
                       "--far", far, "--model", "linear", "--rate", "10", "--stale-sec", "10", "--max-links",
                       std::to_string(config.players + 100)},
                      config.work_dir, &f.error))
        return f;
    if (!server.wait_ports(std::chrono::seconds(30))) {
        f.error = "the server wrote no ports; see " + server.log_path();
        return f;
    }
    Loop loop(crowd, config, server.port(), server.control_port());
    if (!loop.connect_control(&f.error)) return f;

    // The players and walls, their first positions, then the steps at 10 Hz
    // from the moment the server has them.
    crowd.append_setup(loop.ctl_out_);
    std::vector<size_t> ignored;
    crowd.append_step(loop.ctl_out_, &ignored);
    loop.ctl_out_ += "sync\n";
    loop.write_control();
    if (!loop.run_until([&] { return loop.sync_ok_ >= 1; }, 120)) {
        f.error = "the server did not take the players within 120 s";
        return f;
    }
    loop.start_steps();

    loop.open_more();
    const uint32_t n = crowd.players();
    loop.run_until([&] { return loop.settled() >= n; }, 300);
    f.established = loop.established_;
    f.refused = loop.refused_;
    f.connect_failed = n - loop.established_ - loop.refused_;
    f.connect_sec = ms_since(loop.first_connect_, loop.last_established_) / 1000;
    f.handshakes_per_sec = f.connect_sec > 0 ? f.established / f.connect_sec : 0;
    loop.run_until([] { return false; }, config.settle_sec);

    // The movement window.
    const auto wall_start = std::chrono::system_clock::now();
    const TimePoint start = Clock::now();
    const ProcSample s0 = server.sample();
    const double g0 = cpu_of_self();
    const std::vector<uint64_t> segs0 = data_segments_in(loop.links_);
    const uint64_t skipped0 = loop.steps_skipped_;
    const uint32_t lost0 = loop.lost_;
    loop.count(true);
    loop.run_until([] { return false; }, config.movement_sec);
    loop.count(false);
    const std::vector<uint64_t> segs1 = data_segments_in(loop.links_);
    const double g1 = cpu_of_self();
    const ProcSample s1 = server.sample();
    const TimePoint end = Clock::now();
    const auto wall_end = std::chrono::system_clock::now();

    f.window_sec = ms_since(start, end) / 1000;
    f.held = loop.held_;
    f.lost = loop.lost_ - lost0;
    f.steps_skipped = loop.steps_skipped_ - skipped0;
    f.server_cpu = (s1.cpu_sec - s0.cpu_sec) / f.window_sec;
    f.generator_cpu = (g1 - g0) / f.window_sec;
    f.rss_mib = static_cast<double>(s1.rss_kib) / 1024;
    f.peak_rss_mib = static_cast<double>(s1.peak_rss_kib) / 1024;
    f.updates = loop.updates_;
    f.changed_updates = loop.changed_;
    f.malformed = loop.malformed_;
    f.entries_per_update =
        f.updates ? static_cast<double>(loop.entries_) / static_cast<double>(f.updates) : 0;
    f.payload_bytes = loop.payload_;
    f.needed_bytes = loop.needed_;
    for (size_t i = 0; i < segs1.size(); ++i)
        f.data_segments += segs1[i] >= segs0[i] ? segs1[i] - segs0[i] : 0;
    const double wire =
        static_cast<double>(f.payload_bytes) + kHeaderBytes * static_cast<double>(f.data_segments);
    f.wire_bytes_per_sec = wire / f.window_sec;
    f.wire_over_needed = f.needed_bytes ? wire / static_cast<double>(f.needed_bytes) : 0;
    f.lat_samples = loop.latencies_.size();
    f.lat_unmatched = loop.unmatched_;
    f.lat_p50 = percentile(loop.latencies_, 0.5);
    f.lat_p99 = percentile(loop.latencies_, 0.99);
    f.lat_max = percentile(loop.latencies_, 1.0);

    server.stop();
    // The server's windows of ticks that lie wholly inside the movement.
    const double from_ms = std::chrono::duration<double, std::milli>(wall_start.time_since_epoch()).count();
    const double to_ms = std::chrono::duration<double, std::milli>(wall_end.time_since_epoch()).count();
    std::vector<double> p50s, cpu_p50s, thread_cpu_p50s;
    for (const LoadLine &l : server.load_lines()) {
        if (l.at_ms - 10'000 < from_ms || l.at_ms > to_ms || l.ticks == 0) continue;
        ++f.tick_windows;
        p50s.push_back(l.p50);
        cpu_p50s.push_back(l.cpu_p50);
        thread_cpu_p50s.push_back(l.thread_cpu_p50);
        f.thread_cpu_p99 = std::max(f.thread_cpu_p99, l.thread_cpu_p99);
        f.tick_p99 = std::max(f.tick_p99, l.p99);
        f.tick_max = std::max(f.tick_max, l.max);
        f.send_p99 = std::max(f.send_p99, l.send_p99);
        f.tick_cpu_p99 = std::max(f.tick_cpu_p99, l.cpu_p99);
    }
    f.tick_p50 = percentile(p50s, 0.5);
    if (g_stop) f.error = "interrupted";
    f.tick_cpu_p50 = percentile(cpu_p50s, 0.5);
    f.thread_cpu_p50 = percentile(thread_cpu_p50s, 0.5);
    return f;
}

} // namespace mvload
