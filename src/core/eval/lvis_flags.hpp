// Federated (LVIS) adjustments of a constructed evaluator: ground truths
// ignored by flags the caller computes, crowd semantics switched off, and
// unmatched detections of not-exhaustively-annotated (image, category) pairs
// not counted as false positives. Only flag columns change; indexes and
// geometry stay as built.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "core/eval/evaluator_core.hpp"

namespace brandor::eval {

struct LvisFlags {
    std::vector<std::uint8_t> gt_ignore;  // one per ground-truth row
    std::vector<std::pair<std::int64_t, std::int64_t>> non_exhaustive;  // (image id, category id)
    bool preserve_crowds = false;
};

// Replaces the ground-truth ignore flags, clears the crowd flags unless asked
// to keep them, and recomputes every detection's non-exhaustive flag. Checks
// the ignore flags' length first, so a failure changes nothing.
void apply_lvis_flags(EvaluatorCore& core, const LvisFlags& flags);

}  // namespace brandor::eval
