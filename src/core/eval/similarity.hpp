// Per image and category: rank the detections, keep the budget's worth, and
// compare each kept detection with each ground truth (box IoU or keypoint
// similarity here; mask kinds add their measures to the same dispatch). The
// floating-point operations follow the reference toolkit's order exactly.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "core/eval/evaluator_core.hpp"
#include "core/eval/group_index.hpp"

namespace brandor::eval {

struct ImageSimilarity {
    std::vector<std::uint32_t> ranked;  // the D evaluated detection rows, best first
    std::vector<double> iou;            // D x G, detection-major, gt in table order
    std::vector<double> best;           // largest value of each row; empty when G = 0
    std::span<const std::uint32_t> gt;  // the G ground-truth rows, table order
    std::uint32_t image = 0;

    std::size_t dets() const { return ranked.size(); }
    std::size_t gts() const { return gt.size(); }
    double at(std::size_t d, std::size_t g) const { return iou[d * gt.size() + g]; }
};

// One record per image pair of slot k, in ascending image index; pairs are
// computed in parallel in chunks of at least 64.
std::vector<ImageSimilarity> category_similarities(const EvaluatorCore& core, std::uint32_t slot);

// The similarity record of one image pair (ranking included).
ImageSimilarity image_similarity(const EvaluatorCore& core, const ImagePair& pair);

// Object keypoint similarity of detection coordinates xd (2N) with ground
// truth xg (2N) and visibility vis (N); vars[j] = (2 sigma_j)^2; gbox the
// ground truth's box; area the object scale; exp the installed exponential.
double keypoint_similarity(const double* xd, const double* xg, const std::uint8_t* vis, std::size_t n,
                           const double* vars, double area, const double* gbox, const VectorExp& exp);

}  // namespace brandor::eval
