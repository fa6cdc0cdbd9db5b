// Box IoU and mask IoU with the COCO crowd rule: against a crowd ground truth
// the overlap is divided by the detection's own area instead of the union.
// Matrices are m x n, row-major: detection d, ground truth g at d*n + g.
#pragma once

#include <cstdint>
#include <span>

#include "core/rle/rle.hpp"

namespace brandor::rle {

// Crowd flag of ground truth g: nonzero means crowd; a ground truth past the
// end of `crowd` is not crowd, surplus flags are ignored.
inline bool is_crowd(std::span<const uint8_t> crowd, std::size_t g) noexcept {
    return g < crowd.size() && crowd[g] != 0;
}

// IoU of one detection box with one ground-truth box (0 unless they overlap
// with positive width and height).
double box_iou(const Box& d, const Box& g, bool crowd) noexcept;

// out.size() must be dt.size() * gt.size() (InternalError otherwise).
void box_iou(std::span<const Box> dt, std::span<const Box> gt, std::span<const uint8_t> crowd,
             std::span<double> out);

// Mask IoU: pairs whose bounding boxes do not overlap keep their box IoU
// (<= 0); masks of differing sizes give -1, a mask without counts 0. With
// t_min > 0 a pair whose IoU cannot reach t_min (by the bound from the areas
// and the bounding-box intersection) is answered 0 without walking its runs;
// the mask API passes 0.
void mask_iou(std::span<const Rle> dt, std::span<const Rle> gt, std::span<const uint8_t> crowd,
              double t_min, std::span<double> out);

// The same over pointers, for callers that select instances without copying.
void mask_iou(std::span<const Rle* const> dt, std::span<const Rle* const> gt,
              std::span<const uint8_t> crowd, double t_min, std::span<double> out);

// Intersection and union pixel counts of two masks of one size, walking both
// run lists (unsigned 32-bit, wrapping like the toolkit). Both must have counts.
struct Overlap {
    uint32_t intersection;
    uint32_t union_;
};
Overlap overlap(const Rle& a, const Rle& b) noexcept;

}  // namespace brandor::rle
