// Calls into the host through the copied API table, with the rules that every
// call site keeps: a slot is called only when the table is registered and the
// slot is present; out-values are zeroed first; a call succeeds only with
// status 0 and a non-null pointer; whatever the host hands back is released
// exactly once.
#pragma once

#include <cstddef>
#include <initializer_list>

#include "state/host_api.h"

namespace mv::host {

[[nodiscard]] bool has_slots(std::initializer_list<ApiSlot> slots) noexcept;

// A string or array the host handed back; released with freeMemory once, when
// this goes out of scope, on every path.
class HostPointer {
  public:
    HostPointer() = default;
    ~HostPointer() { reset(); }
    HostPointer(const HostPointer &) = delete;
    HostPointer &operator=(const HostPointer &) = delete;
    void reset() noexcept;
    [[nodiscard]] const void *get() const noexcept { return ptr_; }
    // Takes ownership of what a host call handed back (null allowed).
    void adopt(const void *ptr) noexcept {
        reset();
        ptr_ = ptr;
    }

  private:
    const void *ptr_ = nullptr;
};

// Each returns true only on status 0 with a non-null pointer where one is given.
// The connection the host is on when that connection is already synchronised:
// a plugin enabled mid-session gets no synchronisation event and must ask.
bool synchronised_connection(ConnectionId &out) noexcept;
bool get_local_user_id(ConnectionId connection, UserId &out) noexcept;
bool get_user_name(ConnectionId connection, UserId user, HostPointer &name) noexcept;
bool get_user_hash(ConnectionId connection, UserId user, HostPointer &hash) noexcept;
bool get_all_users(ConnectionId connection, HostPointer &users, size_t &count) noexcept;

// The main log's sink: shows a line in the host's log, from any thread, but
// only while the API is open (between init and the end of shutdown).
void log_line(const char *line) noexcept;
void open_api() noexcept;
// Closes the API for every thread: no call starts after it returns. Calls
// already inside the host are not waited for.
void close_api() noexcept;

} // namespace mv::host
