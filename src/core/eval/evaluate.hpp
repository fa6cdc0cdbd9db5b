// The evaluate-all driver behind `run` and the per-instance verdicts behind
// `per_instance`. One pool task per category slot; each writes only its own
// cells and records, so the results never depend on the number of threads.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/eval/accumulate.hpp"
#include "core/eval/evaluator_core.hpp"
#include "core/eval/matching.hpp"

namespace brandor::eval {

// precision and scores [T][R][K][A][M], recall [T][K][A][M], -1 where not computed.
struct EvalArrays {
    std::size_t T = 0, R = 0, K = 0, A = 0, M = 0;
    std::vector<double> precision, recall, scores;
};

// Arrays shaped by the parameters, every cell -1.
EvalArrays blank_arrays(const EvalParams& p);

// Copies a category's blocks into its slot's cells of the run's arrays.
void place_blocks(const CategoryBlocks& blocks, std::size_t slot, EvalArrays& out);

// One per-image record and its position in the K x A x I list (category
// slot, then area range, then image).
struct PlacedEvalImage {
    std::size_t position;
    std::unique_ptr<EvalImage> record;
};

struct EvalResult {
    EvalArrays arrays;
    // The records that exist, in ascending position; every other position of
    // the K x A x I list (an image with neither ground truth nor detection of
    // the category) has none. Empty unless requested.
    std::vector<PlacedEvalImage> eval_imgs;
    std::size_t eval_img_slots = 0;  // K x A x I
};

EvalResult evaluate_all(const EvaluatorCore& core, bool collect_eval_imgs);

// Columns of the per-instance verdicts; rows in category order, then image order.
struct PerInstanceRows {
    std::vector<std::int64_t> dt_image_id, dt_category_id, dt_id, dt_gt_id;
    std::vector<double> dt_score, dt_iou;
    std::vector<std::uint8_t> dt_ignore;
    std::vector<std::int64_t> gt_image_id, gt_category_id, gt_id;
    std::vector<std::uint8_t> gt_ignore, gt_matched;
};

// Verdicts at threshold index t_idx and area index a_idx for the first
// max_det ranked detections of each group. Out-of-range indexes are internal
// errors (index out of range), rejected before any work.
PerInstanceRows per_instance(const EvaluatorCore& core, std::size_t t_idx, std::size_t a_idx,
                             std::uint64_t max_det);

}  // namespace brandor::eval
