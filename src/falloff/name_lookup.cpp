#include "falloff/name_lookup.h"

#include <atomic>
#include <new>

#include "common/text.h"

namespace mv {

namespace {

constexpr uint32_t kStoppedLookupGraceMs = 20;

// Shared by the waiting worker and the lookup thread.
struct Lookup {
    std::atomic<int> refs{2};
    platform::Event *done = nullptr;
    std::atomic<platform::AddressList *> result{nullptr};
    // The lookup's own copies: nothing it reads can change under it.
    char host[256];
    char port[32];
};

void release(Lookup *lookup) noexcept {
    if (lookup->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    platform::free_addresses(lookup->result.exchange(nullptr)); // a result nobody took
    platform::event_destroy(lookup->done);
    delete lookup;
}

void lookup_main(void *arg) noexcept {
    auto *lookup = static_cast<Lookup *>(arg);
    lookup->result.store(platform::resolve(lookup->host, lookup->port));
    platform::event_set(lookup->done);
    release(lookup);
}

} // namespace

LookupEnd lookup_name(const char *host, const char *port, platform::Event *stop,
                      platform::AddressList **addresses) noexcept {
    *addresses = nullptr;
    auto *lookup = new (std::nothrow) Lookup;
    if (lookup == nullptr) return LookupEnd::failed;
    copy_text(lookup->host, sizeof lookup->host, host);
    copy_text(lookup->port, sizeof lookup->port, port);
    lookup->done = platform::event_create();
    // The thread holds its own reference on the library, so a lookup that
    // outlives a stop and an unload still has its code to return to.
    platform::Thread *thread =
        lookup->done != nullptr ? platform::thread_start(&lookup_main, lookup) : nullptr;
    if (thread == nullptr) {
        platform::event_destroy(lookup->done);
        delete lookup;
        return LookupEnd::failed;
    }
    LookupEnd end = LookupEnd::failed;
    switch (platform::event_wait_either(stop, lookup->done, UINT32_MAX)) {
    case 0:
        // A lookup that answers normally ends within moments: give it those, so
        // that the library can unload the moment shut-down returns; one that
        // hangs is left behind, holding the library until it returns.
        end = LookupEnd::stopped;
        platform::thread_wait(thread, kStoppedLookupGraceMs);
        break;
    case 1:
        *addresses = lookup->result.exchange(nullptr);
        end = *addresses != nullptr ? LookupEnd::resolved : LookupEnd::failed;
        // It has nothing left to do but end: wait for that, so that no thread
        // of ours outlives the lookup that it made.
        platform::thread_wait(thread, UINT32_MAX);
        break;
    default: // the wait itself failed: the attempt fails, the lookup ends alone
        break;
    }
    platform::thread_release(thread); // joins an ended thread, lets a running one go
    release(lookup);
    return end;
}

} // namespace mv
