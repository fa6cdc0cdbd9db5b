// Area and bounding box of a run-length mask, with the COCO toolkit's
// unsigned 32-bit arithmetic (sums of runs wrap).
#pragma once

#include <cstdint>

#include "core/rle/rle.hpp"

namespace brandor::rle {

// The number of 1 pixels: the sum of the odd-position counts, wrapping in 32 bits.
uint32_t area(const Rle& r) noexcept;

// [x, y, width, height] of the 1 pixels; [0, 0, 0, 0] when there are no
// pairs of runs. Empty runs of 1s are skipped, and when every run of 1s is
// empty the box is the toolkit's wrapped [w, h, 1 - w, 1 - h] (as unsigned
// 32-bit values). A mask of height 0 that has runs gives [0, 0, 1, 1] (there
// is no column to place them in).
Box bbox(const Rle& r) noexcept;

}  // namespace brandor::rle
