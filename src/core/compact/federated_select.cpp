#include "core/compact/federated_select.hpp"

#include <algorithm>

#include "core/eval/score_order.hpp"

namespace brandor::compact {

std::vector<std::size_t> select_federated(const CompactColumns& columns, const std::vector<std::int64_t>& image_ids,
                                          const IdSet& categories,
                                          const std::unordered_map<std::int64_t, IdSet>& verified,
                                          std::optional<std::uint64_t> max_det) {
    // Positions per verified image, in file order.
    std::unordered_map<std::int64_t, std::vector<std::size_t>> groups;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const std::int64_t image = columns.image_id(i);
        if (verified.count(image)) groups[image].push_back(i);
    }
    std::vector<std::size_t> selected;
    for (const std::int64_t image : image_ids) {
        auto found = groups.find(image);
        if (found == groups.end()) continue;
        std::vector<std::size_t>& kept = found->second;
        if (max_det && kept.size() > *max_det) {
            // Sorting positions stably by score keeps equal scores in file order.
            std::stable_sort(kept.begin(), kept.end(), [&](std::size_t a, std::size_t b) {
                return eval::score_before(columns.score(a), columns.score(b));
            });
            kept.resize(static_cast<std::size_t>(*max_det));
        }
        const IdSet& allowed = verified.at(image);
        for (const std::size_t i : kept) {
            const std::int64_t category = columns.category_id(i);
            if (categories.count(category) && allowed.count(category)) selected.push_back(i);
        }
    }
    return selected;
}

}  // namespace brandor::compact
