#include "probes.h"

namespace mvbench {

namespace {
// Plain thread_local of a trivial type: no constructor, so the malloc probe
// may read it from inside the allocator.
thread_local Role t_role = Role::subject;
} // namespace

void set_thread_role(Role role) noexcept {
    t_role = role;
}
Role thread_role() noexcept {
    return t_role;
}

} // namespace mvbench
