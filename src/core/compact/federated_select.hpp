// The detections LVIS federated evaluation keeps from a compact results
// store: the per-image cap on detections (highest scores first, ties in file
// order) comes first, then the category and verified-category filters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/compact/columns.hpp"

namespace brandor::compact {

using IdSet = std::unordered_set<std::int64_t>;

// Annotation positions in output order: images in `image_ids` order, each
// image's kept detections in file order (or in score order when capped).
std::vector<std::size_t> select_federated(const CompactColumns& columns, const std::vector<std::int64_t>& image_ids,
                                          const IdSet& categories,
                                          const std::unordered_map<std::int64_t, IdSet>& verified,
                                          std::optional<std::uint64_t> max_det);

}  // namespace brandor::compact
