// A mask as one bit per pixel (column-major, 64 pixels a word), for merging
// many fragmented masks: painting a mask costs its runs plus its long runs'
// words, where a joint walk of two run lists costs the runs of both, and a
// merge of n masks would walk the growing result n - 1 times.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace brandor::rle {

class PixelBits {
public:
    // All `pixels` bits clear; the word buffer is reused.
    void reset(uint64_t pixels);

    // Sets the pixels of the runs of `counts` at positions of the given
    // parity (1: the runs of 1s, 0: the runs of 0s). `counts` must be
    // well-formed for this size (well_formed() in intervals.hpp).
    void paint(std::span<const uint32_t> counts, unsigned parity);

    // The canonical run lengths of the image (of its complement when
    // `complement` is set): no empty run but a leading one, adding up to the
    // pixel count. Replaces `out`'s contents; sized exactly.
    void to_counts(bool complement, std::vector<uint32_t>& out) const;

private:
    uint64_t pixels_ = 0;
    std::vector<uint64_t> words_;
};

}  // namespace brandor::rle
