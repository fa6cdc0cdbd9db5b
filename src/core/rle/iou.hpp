// Box IoU and mask IoU with the COCO crowd rule: against a crowd ground truth
// the overlap is divided by the detection's own area instead of the union.
// Matrices are m x n, row-major: detection d, ground truth g at d*n + g.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>

#include "core/rle/rle.hpp"

namespace brandor::rle {

// Crowd flag of ground truth g: nonzero means crowd; a ground truth past the
// end of `crowd` is not crowd, surplus flags are ignored.
inline bool is_crowd(std::span<const uint8_t> crowd, std::size_t g) noexcept {
    return g < crowd.size() && crowd[g] != 0;
}

// IoU of one detection box with one ground-truth box, each [x, y, w, h] (0
// unless they overlap with positive width and height; no +1 on widths). As in
// the toolkit, fmin/fmax drop a single NaN operand, and only a width or height
// <= 0 gives 0, so a NaN overlap carries through as NaN.
inline double box_iou(const double* d, const double* g, bool crowd) noexcept {
    const double iw = std::fmin(d[0] + d[2], g[0] + g[2]) - std::fmax(d[0], g[0]);
    if (iw <= 0) return 0;
    const double ih = std::fmin(d[1] + d[3], g[1] + g[3]) - std::fmax(d[1], g[1]);
    if (ih <= 0) return 0;
    const double i = iw * ih;
    const double da = d[2] * d[3];
    return crowd ? i / da : i / ((da + g[2] * g[3]) - i);
}

inline double box_iou(const Box& d, const Box& g, bool crowd) noexcept {
    return box_iou(d.data(), g.data(), crowd);
}

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
