#include "portable/harness.h"

#include <cstdarg>
#include <cstdio>

#include "portable/calls.h"

namespace mvbench::portable {

Server::Server() : mvfalloff::StreamServer(&calls::mark_own_thread) {}

bool connect(Run &run, Server &server, size_t users, const std::string &extra) {
    SessionSettings settings;
    settings.port = server.port();
    settings.extra = extra;
    run.session.write_settings(settings);
    run.session.start(users);
    const uint64_t before = server.established();
    calls::forget_worker();
    run.session.synchronise();
    return wait_until([&] { return server.established() > before; }) &&
           wait_until([] { return calls::worker_wait() == calls::Wait::readable; });
}

void disconnect(Run &run) {
    run.session.disconnect();
    run.session.stop();
}

std::string fmt(const char *format, ...) {
    char buf[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

} // namespace mvbench::portable
