// Greedy per-image matching for one area range at every IoU threshold: which
// ranked detection takes which ground truth, which ground truths and
// detections are ignored, and so which detections are true or false
// positives. Also turns a match into the per-image record `run` can return.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/eval/evaluator_core.hpp"
#include "core/eval/similarity.hpp"

namespace brandor::eval {

// Status of a detection at one threshold.
enum DetectionStatus : std::uint8_t { kIgnored = 0, kTruePositive = 1, kFalsePositive = 2 };

struct ImageMatch {
    std::vector<double> scores;            // D, rank order
    std::vector<std::int32_t> assignment;  // T x D match-order positions, -1 none; only when retained
    std::vector<std::uint8_t> status;      // D x T DetectionStatus, detection-major
    std::vector<std::uint8_t> gt_ignore;   // G, match order
    std::vector<std::uint32_t> match_order;  // G positions into the image's ground-truth list
};

// Reused buffers of one worker.
struct MatchScratch {
    std::vector<std::int32_t> assignment;
    std::vector<std::uint8_t> matched;  // T x G, match order
    std::vector<std::uint8_t> ignored;  // G, table order
    std::vector<std::uint8_t> crowd;    // G, match order
};

// Thresholds above this are lowered to it, so a perfect overlap still matches.
inline constexpr double kMaxThreshold = 1.0 - 1e-10;

// The greedy assignment at every threshold: each ranked detection in turn
// takes the ground truth of highest similarity (the last of equals) that is
// still free (crowds always are) and reaches the threshold, preferring
// non-ignored ground truths, which come first in match order. `iou(d, j)` is
// the similarity of detection d and the j-th ground truth in match order;
// `best(d)` bounds detection d's similarities (NaN when one is NaN) so that
// hopeless detections are skipped. Writes assignment[t * D + d]: the match-
// order position taken, or -1; `matched` is scratch.
template <class Best, class Iou>
void assign_greedy(std::span<const double> thrs, std::size_t D, std::size_t G, std::span<const std::uint8_t> gt_ignore,
                   std::span<const std::uint8_t> crowd, Best&& best, Iou&& iou, std::int32_t* assignment,
                   std::vector<std::uint8_t>& matched) {
    matched.assign(thrs.size() * G, 0);
    for (std::size_t t = 0; t < thrs.size(); ++t) {
        const double thr = std::min(thrs[t], kMaxThreshold);
        std::uint8_t* matched_t = matched.data() + t * G;
        for (std::size_t d = 0; d < D; ++d) {
            if (thr > best(d)) continue;  // no ground truth reaches the threshold
            double top = thr;
            std::ptrdiff_t m = -1;
            for (std::size_t j = 0; j < G; ++j) {
                if (matched_t[j] && !crowd[j]) continue;
                // Once a real match exists, ignored ground truths (sorted
                // last) cannot replace it.
                if (m >= 0 && !gt_ignore[m] && gt_ignore[j]) break;
                const double v = iou(d, j);
                if (v < top) continue;
                top = v;
                m = static_cast<std::ptrdiff_t>(j);
            }
            if (m < 0) continue;
            assignment[t * D + d] = static_cast<std::int32_t>(m);
            matched_t[m] = 1;
        }
    }
}

void match_image(const EvaluatorCore& core, const ImageSimilarity& sim, std::size_t area, ImageMatch& out,
                 MatchScratch& scratch, bool retain_assignment);

// The per-image record of one category slot and area range, as the Python
// record carries it: ids and flags already float64. The fields share two
// buffers (a run can build millions of records), read through the accessors.
struct EvalImage {
    std::int64_t image_id = 0;
    std::int64_t category_id = 0;  // -1 when categories are pooled
    std::uint64_t area_index = 0;
    std::uint64_t max_det = 0;
    std::size_t T = 0, D = 0, G = 0;
    std::vector<std::int64_t> ids;  // D detection ids (rank order), then G ground-truth ids (match order)
    std::vector<double> values;     // dt_scores, dt_matches, gt_matches, gt_ignore, dt_ignore

    std::span<const std::int64_t> dt_ids() const { return {ids.data(), D}; }
    std::span<const std::int64_t> gt_ids() const { return {ids.data() + D, G}; }
    std::span<const double> dt_scores() const { return {values.data(), D}; }
    // T x D matched ground-truth ids, 0 for none
    std::span<const double> dt_matches() const { return {values.data() + D, T * D}; }
    // T x G matched detection ids, 0 for none
    std::span<const double> gt_matches() const { return {values.data() + D + T * D, T * G}; }
    // G, 1.0 ignored
    std::span<const double> gt_ignore() const { return {values.data() + D + T * D + T * G, G}; }
    // T x D, 1.0 ignored
    std::span<const double> dt_ignore() const { return {values.data() + D + T * D + T * G + G, T * D}; }
};

// Needs a match made with the assignment retained.
EvalImage build_eval_image(const EvaluatorCore& core, const ImageSimilarity& sim, const ImageMatch& match,
                           std::uint32_t slot, std::size_t area);

}  // namespace brandor::eval
