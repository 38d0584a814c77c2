// Counts the malloc family by replacing it in this executable and forwarding to
// glibc's own entry points, which every glibc exports for this purpose.
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <malloc.h>

#include "probes.h"

extern "C" {
void *__libc_malloc(size_t size);
void __libc_free(void *ptr);
void *__libc_calloc(size_t n, size_t size);
void *__libc_realloc(void *ptr, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void *__libc_valloc(size_t size);
void *__libc_pvalloc(size_t size);
}

namespace {

constinit std::atomic<uint64_t> g_calls{0};
constinit std::atomic<int64_t> g_live_blocks{0};
constinit std::atomic<int64_t> g_live_bytes{0};

void *note_alloc(void *p) noexcept {
    if (p == nullptr) return p;
    if (mvbench::thread_role() != mvbench::Role::bench) g_calls.fetch_add(1, std::memory_order_relaxed);
    g_live_blocks.fetch_add(1, std::memory_order_relaxed);
    g_live_bytes.fetch_add(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
    return p;
}

void note_free(void *p) noexcept {
    if (p == nullptr) return;
    g_live_blocks.fetch_sub(1, std::memory_order_relaxed);
    g_live_bytes.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
}

} // namespace

// Visible to every object of the process, the plugin library included.
#pragma GCC visibility push(default)
extern "C" {

void *malloc(size_t size) {
    return note_alloc(__libc_malloc(size));
}

void free(void *ptr) {
    note_free(ptr);
    __libc_free(ptr);
}

void *calloc(size_t n, size_t size) {
    return note_alloc(__libc_calloc(n, size));
}

void *realloc(void *ptr, size_t size) {
    // The old block's size must be read before glibc may release it.
    const size_t old = ptr != nullptr ? malloc_usable_size(ptr) : 0;
    void *p = __libc_realloc(ptr, size);
    if (p == nullptr) return p; // failed (old block kept) or size 0 (freed)
    if (ptr != nullptr) {
        g_live_blocks.fetch_sub(1, std::memory_order_relaxed);
        g_live_bytes.fetch_sub(static_cast<int64_t>(old), std::memory_order_relaxed);
    }
    return note_alloc(p);
}

void *memalign(size_t alignment, size_t size) {
    return note_alloc(__libc_memalign(alignment, size));
}
void *aligned_alloc(size_t alignment, size_t size) {
    return note_alloc(__libc_memalign(alignment, size));
}
void *valloc(size_t size) {
    return note_alloc(__libc_valloc(size));
}
void *pvalloc(size_t size) {
    return note_alloc(__libc_pvalloc(size));
}

int posix_memalign(void **out, size_t alignment, size_t size) {
    if (alignment < sizeof(void *) || (alignment & (alignment - 1)) != 0) return EINVAL;
    void *p = note_alloc(__libc_memalign(alignment, size));
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}

} // extern "C"
#pragma GCC visibility pop

namespace mvbench {

AllocCounts alloc_counts() noexcept {
    return {g_calls.load(), g_live_blocks.load(), g_live_bytes.load()};
}

} // namespace mvbench
