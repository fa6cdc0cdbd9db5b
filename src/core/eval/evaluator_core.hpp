// Everything a constructed Evaluator owns natively: its parameters, both
// instance tables, their group indexes, the detection budget flags and the
// phase counters. Read-only during evaluation except for the atomic counters.
#pragma once

#include <cstdint>
#include <vector>

#include "core/eval/group_index.hpp"
#include "core/eval/instance_table.hpp"
#include "core/eval/params.hpp"
#include "core/eval/timings.hpp"
#include "core/eval/vector_exp.hpp"

namespace brandor::eval {

struct EvaluatorCore {
    EvalParams params;
    InstanceTable gt;
    InstanceTable dt;
    GroupIndex gt_index;
    GroupIndex dt_index;
    std::uint32_t slots = 0;  // K
    // Budget flags per detection row: 0 for detections that rank beyond the
    // budget in their group and so are never evaluated.
    std::vector<std::uint8_t> dt_keep;
    mutable PhaseTimings timings;
    // The exponential of keypoint similarity (installed for keypoints only).
    VectorExp exp;
};

// Builds the ground-truth index, then the detection index and the budget
// flags, adding the time to the group_index counter.
void index_tables(EvaluatorCore& core);

// Checks that the tables can be evaluated together before any work starts
// (keypoint counts and sigmas); throws a ValueError otherwise.
void check_tables(const EvaluatorCore& core);

}  // namespace brandor::eval
