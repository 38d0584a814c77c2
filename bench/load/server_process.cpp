#include "load/server_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace mvload {
namespace {

bool read_port(const std::string &path, uint16_t *out) {
    std::ifstream f(path);
    unsigned v = 0;
    if (!(f >> v) || v == 0 || v > 65535) return false;
    *out = static_cast<uint16_t>(v);
    return true;
}

// "2026-01-02T03:04:05.678Z" as milliseconds since the epoch.
bool parse_utc_ms(const std::string &s, double *out) {
    std::tm tm{};
    int ms = 0;
    if (std::sscanf(s.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &tm.tm_sec, &ms) != 7)
        return false;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    *out = static_cast<double>(timegm(&tm)) * 1000 + ms;
    return true;
}

double field(const std::string &line, const char *key) {
    const size_t at = line.find(std::string(" ") + key + "=");
    return at == std::string::npos ? 0 : std::atof(line.c_str() + at + std::strlen(key) + 2);
}

} // namespace

bool ServerProcess::start(const std::string &program, const std::vector<std::string> &args,
                          const std::string &dir, std::string *error) {
    dir_ = dir;
    log_ = dir + "/server.log";
    std::vector<std::string> argv_s = {program,
                                       "--port",
                                       "0",
                                       "--port-file",
                                       dir + "/port",
                                       "--control",
                                       "0",
                                       "--control-port-file",
                                       dir + "/control-port",
                                       "--key-file",
                                       dir + "/key"};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : argv_s)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::ofstream(dir + "/key") << "load-generator-key\n";
    // A port file left by an earlier run would name a port nobody listens on.
    unlink((dir + "/port").c_str());
    unlink((dir + "/control-port").c_str());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid_ = -1;
        *error = "cannot start " + program + ": " + std::strerror(rc);
        return false;
    }
    return true;
}

bool ServerProcess::wait_ports(std::chrono::seconds deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < until && alive()) {
        if (read_port(dir_ + "/port", &port_) && read_port(dir_ + "/control-port", &control_port_))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool ServerProcess::alive() {
    if (pid_ < 0) return false;
    if (status_ == -1 && waitpid(pid_, &status_, WNOHANG) == 0) {
        status_ = -1;
        return true;
    }
    return false;
}

ProcSample ServerProcess::sample() const {
    ProcSample s;
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command's closing parenthesis: state is the 3rd field,
    // utime the 14th and stime the 15th.
    const size_t paren = text.rfind(')');
    if (paren != std::string::npos) {
        std::istringstream rest(text.substr(paren + 2));
        std::string f;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> f; ++i) {
            if (i == 14) utime = std::stoull(f);
            if (i == 15) stime = std::stoull(f);
        }
        s.cpu_sec = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:")) s.rss_kib = std::stoull(line.substr(6));
        if (line.starts_with("VmHWM:")) s.peak_rss_kib = std::stoull(line.substr(6));
    }
    return s;
}

int ServerProcess::stop(std::chrono::seconds deadline) {
    if (pid_ < 0) return status_;
    if (alive()) {
        kill(pid_, SIGTERM);
        const auto until = std::chrono::steady_clock::now() + deadline;
        while (alive() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (alive()) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status_, 0);
        }
    }
    pid_ = -1;
    return status_;
}

ServerProcess::~ServerProcess() {
    stop();
}

std::vector<LoadLine> ServerProcess::load_lines() const {
    std::vector<LoadLine> out;
    std::ifstream f(log_);
    for (std::string line; std::getline(f, line);) {
        const size_t space = line.find(' ');
        if (space == std::string::npos || line.compare(space + 1, 5, "load ") != 0) continue;
        LoadLine l;
        if (!parse_utc_ms(line.substr(0, space), &l.at_ms)) continue;
        l.ticks = static_cast<uint64_t>(field(line, "ticks"));
        l.p50 = field(line, "tick_p50_ms");
        l.p99 = field(line, "tick_p99_ms");
        l.max = field(line, "tick_max_ms");
        l.send_p99 = field(line, "send_p99_ms");
        l.cpu_p50 = field(line, "tick_cpu_p50_ms");
        l.cpu_p99 = field(line, "tick_cpu_p99_ms");
        l.thread_cpu_p50 = field(line, "thread_cpu_p50_ms");
        l.thread_cpu_p99 = field(line, "thread_cpu_p99_ms");
        out.push_back(l);
    }
    return out;
}

} // namespace mvload
