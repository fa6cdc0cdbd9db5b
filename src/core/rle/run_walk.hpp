// Two run lists walked side by side, as the toolkit's merge and mask IoU walk
// them: each step covers the shorter of the two current runs. A list that has
// ended (no pixels and no runs left) counts as 0s while the other goes on,
// where min() alone would stall forever. Counters are unsigned 32-bit and
// wrap, as in the toolkit.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>

namespace brandor::rle {

class RunCursor {
public:
    // `counts` must not be empty.
    explicit RunCursor(std::span<const uint32_t> counts) : counts_(counts), left_(counts[0]) {}
    // A cursor part way along: `left` pixels of the current run of `value`,
    // whose next run is counts[next]. The list must not have ended.
    RunCursor(std::span<const uint32_t> counts, std::size_t next, uint32_t left, uint32_t value)
        : counts_(counts), left_(left), next_(next), value_(value) {}

    uint32_t left() const { return left_; }    // pixels left in the current run
    uint32_t value() const { return value_; }  // 0 or 1
    bool ended() const { return left_ == 0 && next_ >= counts_.size(); }

    // Moves `c` pixels on; an ended list stays where it is.
    void advance(uint32_t c) {
        if (!ended()) left_ -= c;
        if (left_ == 0 && next_ < counts_.size()) {
            left_ = counts_[next_++];
            value_ ^= 1;
        }
        if (ended()) value_ = 0;
    }

private:
    std::span<const uint32_t> counts_;
    uint32_t left_;
    std::size_t next_ = 1;
    uint32_t value_ = 0;
};

// The length of the next step of a joint walk of `a` and `b`.
inline uint32_t joint_step(const RunCursor& a, const RunCursor& b) {
    return a.ended() ? b.left() : b.ended() ? a.left() : std::min(a.left(), b.left());
}

}  // namespace brandor::rle
