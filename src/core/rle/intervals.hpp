// The runs of 1s of a well-formed mask as pixel intervals. A mask is
// well-formed here when no run after the first is empty and its runs add up
// to h*w < 2^31: then the toolkit's joint walks of two such masks (merge, mask
// IoU) give exactly what set operations on the intervals give, and those can
// skip what the walk must step through.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace brandor::rle {

// Whether `counts` is well-formed for a mask of `pixels` pixels (in the sense
// above): then merges of it are the set operations on its pixels.
bool well_formed(std::span<const uint32_t> counts, uint64_t pixels);

struct OnesIntervals {
    bool exact = false;  // false: the mask is not well-formed, the lists are empty
    std::vector<uint32_t> begin, end;
};

// The intervals [begin, end) of the 1s of `counts` for a mask of `pixels`
// pixels, into `out` (whose capacity is reused).
void ones_intervals(std::span<const uint32_t> counts, uint64_t pixels, OnesIntervals& out);

// The counts of the union or intersection of two well-formed masks of
// `pixels` pixels, as the toolkit's merge gives them for such masks.
void merge_intervals(const OnesIntervals& a, const OnesIntervals& b, bool intersect, uint64_t pixels,
                     std::vector<uint32_t>& counts);

}  // namespace brandor::rle
