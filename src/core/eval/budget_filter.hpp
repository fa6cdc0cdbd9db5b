// The detection budget filter: in each group (image and category, or image
// alone when categories are pooled) keep the `budget` best detections by
// score (NaN last; ties by category index, then table position) and flag the
// rest as never evaluated. Two strategies with identical results: a dense
// counting table when it is small against the number of detections, a sparse
// group index otherwise.
#pragma once

#include <cstdint>
#include <vector>

#include "core/eval/instance_table.hpp"

namespace brandor::eval {

// One keep flag (0/1) per detection row; rows with an unknown image or
// category stay 1. Chooses the strategy by density.
std::vector<std::uint8_t> budget_keep(const InstanceTable& dt, std::uint32_t slots, bool use_cats,
                                      std::uint64_t budget);

// True when the counting table (largest known image index + 1) x slots has at
// most twice as many cells as there are detections.
bool budget_dense_fits(const InstanceTable& dt, std::uint32_t slots);

std::vector<std::uint8_t> budget_keep_dense(const InstanceTable& dt, std::uint32_t slots, bool use_cats,
                                            std::uint64_t budget);
std::vector<std::uint8_t> budget_keep_sparse(const InstanceTable& dt, std::uint32_t slots, bool use_cats,
                                             std::uint64_t budget);

}  // namespace brandor::eval
