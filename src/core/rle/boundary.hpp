// The inner boundary band of a run-length mask, for Boundary IoU: the mask
// minus its erosion by a 3x3 square repeated round(r * diagonal) times (at
// least once), with the image border counting as background.
#pragma once

#include <cstdint>

#include "core/rle/rle.hpp"

namespace brandor::rle {

// Number of erosion passes for an h x w image and dilation ratio r.
int64_t erosion_passes(uint32_t h, uint32_t w, double ratio) noexcept;

// The boundary band of `mask` (same size). A mask with h = 0 or w = 0 is
// returned unchanged. Computed on the runs: work and memory grow with the
// number of runs and of the columns they cover, never with h * w.
Rle boundary(const Rle& mask, double ratio);

}  // namespace brandor::rle
