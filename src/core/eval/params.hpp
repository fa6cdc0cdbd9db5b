// The parameters an Evaluator keeps for its whole life, stored exactly as
// given (order and duplicates included): nothing is sorted or range-checked.
#pragma once

#include <cstdint>
#include <vector>

#include "core/eval/iou_type.hpp"

namespace brandor::eval {

struct AreaRange {
    double lo = 0.0;
    double hi = 0.0;
};

struct EvalParams {
    std::vector<std::int64_t> img_ids;
    std::vector<std::int64_t> cat_ids;
    std::vector<double> iou_thrs;
    std::vector<double> rec_thrs;
    std::vector<std::uint64_t> max_dets;
    std::vector<AreaRange> area_rng;
    std::vector<double> kpt_sigmas;
    bool use_cats = true;
    bool use_area = true;
    IouType iou_type = IouType::Bbox;

    // Per-group detection budget: the last detection cap, 0 without caps.
    std::uint64_t budget() const { return max_dets.empty() ? 0 : max_dets.back(); }
    // K: one slot per category, or a single pooled slot.
    std::uint32_t category_slots() const {
        return use_cats ? static_cast<std::uint32_t>(cat_ids.size()) : 1u;
    }
};

}  // namespace brandor::eval
