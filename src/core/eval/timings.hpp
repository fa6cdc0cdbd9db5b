// Per-phase nanosecond counters of an Evaluator. They only ever grow, by
// atomic additions, so workers on any thread may add to them at once.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace brandor::eval {

struct PhaseTimings {
    std::atomic<std::uint64_t> gt_read{0};
    std::atomic<std::uint64_t> dt_read{0};
    std::atomic<std::uint64_t> read_blocked{0};
    std::atomic<std::uint64_t> rasterise{0};
    std::atomic<std::uint64_t> group_index{0};
    std::atomic<std::uint64_t> iou_cpu{0};
    std::atomic<std::uint64_t> match_cpu{0};
    std::atomic<std::uint64_t> accumulate_cpu{0};
};

// Monotonic stopwatch; elapsed() is in nanoseconds.
class Stopwatch {
public:
    Stopwatch() : start_(std::chrono::steady_clock::now()) {}
    std::uint64_t elapsed() const {
        auto d = std::chrono::steady_clock::now() - start_;
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count());
    }
    void add_to(std::atomic<std::uint64_t>& counter) const {
        counter.fetch_add(elapsed(), std::memory_order_relaxed);
    }

private:
    std::chrono::steady_clock::time_point start_;
};

}  // namespace brandor::eval
