#include <poll.h>
#include <sys/stat.h>

#include "net/lookup_hold.h"
#include "portable/calls.h"
#include "support/probes.h"

namespace mvbench::calls {

const char *platform_name() {
    return "Linux";
}

bool watch(const mvhost::Host &, std::string *) {
    return true; // the probes are linked in
}

void mark_own_thread() {
    set_thread_role(Role::bench);
}

Counts counts() {
    const SysCounts c = sys_counts();
    return {c.recv, c.send, c.poll, 0, 0, c.recv_bytes};
}

Counts operator-(const Counts &a, const Counts &b) {
    return {a.reads - b.reads,   a.sends - b.sends,   a.waits - b.waits,
            a.checks - b.checks, a.events - b.events, a.bytes_read - b.bytes_read};
}

Wait worker_wait() {
    const SubjectWait w = subject_wait();
    if (!w.in_poll) return Wait::none;
    if (w.nfds == 1) return Wait::stop_only;
    if (w.nfds == 2 && (w.events & POLLOUT) && w.connected) return Wait::connect;
    if (w.nfds == 2 && (w.events & POLLIN)) return Wait::readable;
    return Wait::none;
}

void forget_worker() {
    forget_subject();
}

uint64_t worker_thread() {
    return static_cast<uint64_t>(subject_tid());
}

bool thread_gone(uint64_t thread) {
    struct stat st {};
    return stat(("/proc/self/task/" + std::to_string(thread)).c_str(), &st) != 0;
}

const char *hanging_host() {
    return mvnet::kHangingName;
}
size_t lookups_held() {
    return mvnet::lookups_held();
}
void hold_lookups() {
    mvnet::hold_lookups(true);
}
void release_lookups() {
    mvnet::hold_lookups(false);
}

} // namespace mvbench::calls
