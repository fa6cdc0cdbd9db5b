// The merge of partial results of disjoint image shards into the arrays of one
// run over all their images. The pairs are put in the order the single run
// ranks them (category slot, then the union's ascending image order) by two
// counting sorts, linear in the pairs, and accumulated by the engine's own
// accumulation, one pool task per category slot.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/eval/evaluate.hpp"
#include "core/eval/partial.hpp"

namespace brandor::eval {

struct MergedPartials {
    EvalParams params;  // the partials' parameters; img_ids the union of their images, ascending
    EvalArrays arrays;
};

// ValueError when there are no partials, when their parameters differ, or
// when an image is in more than one of them (the message names such images).
MergedPartials merge_partials(std::span<const PartialRecord> parts);

}  // namespace brandor::eval
