// Compiled into each copy of the extension on its own (not into the core
// library), with or without BRANDOR_ALLOC_STATS. With it, the global
// allocation functions of the module are replaced by counting ones; the
// module's export map keeps them local, so only the module's own C++
// allocations (containers, buffers handed to NumPy) are counted.
#include "core/alloc/counters.hpp"

#ifdef BRANDOR_ALLOC_STATS

#include <malloc.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace brandor::alloc {
namespace {

std::atomic<uint64_t> g_live{0}, g_peak{0}, g_total{0}, g_allocations{0}, g_frees{0};

void note_allocation(void* p) noexcept {
    uint64_t size = malloc_usable_size(p);
    g_total.fetch_add(size, std::memory_order_relaxed);
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    uint64_t live = g_live.fetch_add(size, std::memory_order_relaxed) + size;
    // Raise the peak to at least this live figure; a concurrent larger
    // figure wins the race, so the peak never falls below any live value.
    uint64_t peak = g_peak.load(std::memory_order_relaxed);
    while (peak < live && !g_peak.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
    }
}

void note_free(void* p) noexcept {
    uint64_t size = malloc_usable_size(p);
    g_frees.fetch_add(1, std::memory_order_relaxed);
    // A block this module did not allocate (freed here after being created by
    // another library) must not drive the live figure below zero.
    uint64_t live = g_live.load(std::memory_order_relaxed);
    while (!g_live.compare_exchange_weak(live, live >= size ? live - size : 0,
                                         std::memory_order_relaxed)) {
    }
}

void* counted_alloc(std::size_t size, std::size_t align) {
    if (size == 0) size = 1;
    void* p = nullptr;
    if (align <= alignof(std::max_align_t)) {
        p = std::malloc(size);
    } else if (posix_memalign(&p, align, size) != 0) {
        p = nullptr;
    }
    if (p) note_allocation(p);
    return p;
}

void counted_free(void* p) noexcept {
    if (!p) return;
    note_free(p);
    std::free(p);
}

}  // namespace

Stats stats() noexcept {
    return Stats{true, g_live.load(), g_peak.load(), g_total.load(), g_allocations.load(),
                 g_frees.load()};
}

void reset_peak() noexcept { g_peak.store(g_live.load()); }

}  // namespace brandor::alloc

using brandor::alloc::counted_alloc;
using brandor::alloc::counted_free;

void* operator new(std::size_t n) {
    if (void* p = counted_alloc(n, 0)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return counted_alloc(n, 0); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return counted_alloc(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) {
    if (void* p = counted_alloc(n, static_cast<std::size_t>(a))) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n, std::align_val_t a) { return operator new(n, a); }
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }
void operator delete(void* p, std::align_val_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { counted_free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { counted_free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { counted_free(p); }

#else

namespace brandor::alloc {
Stats stats() noexcept { return Stats{false, 0, 0, 0, 0, 0}; }
void reset_peak() noexcept {}
}  // namespace brandor::alloc

#endif
