// Process-wide counters of the module's native allocations, for benchmarks.
// They count only when the module is built with the alloc-stats option;
// otherwise every figure is zero and `enabled` is false.
#pragma once

#include <cstdint>

namespace brandor::alloc {

struct Stats {
    bool enabled;
    uint64_t live_bytes;
    uint64_t peak_bytes;
    uint64_t total_allocated_bytes;
    uint64_t allocations;
    uint64_t frees;
};

Stats stats() noexcept;
// Drops the high-water mark to the current live figure.
void reset_peak() noexcept;

}  // namespace brandor::alloc
