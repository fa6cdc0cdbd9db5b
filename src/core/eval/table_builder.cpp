#include "core/eval/table_builder.hpp"

#include <algorithm>

namespace brandor::eval {

PositionMap position_map(const std::vector<std::int64_t>& ids) {
    PositionMap map;
    map.reserve(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) map[ids[i]] = static_cast<std::uint32_t>(i);
    return map;
}

std::uint32_t lookup(const PositionMap& map, std::int64_t id) {
    if (map.empty()) return kUnknownIndex;
    auto it = map.find(id);
    return it == map.end() ? kUnknownIndex : it->second;
}

void CounterpartSet::seal() {
    std::sort(keys_.begin(), keys_.end());
    keys_.erase(std::unique(keys_.begin(), keys_.end()), keys_.end());
}

bool CounterpartSet::contains(RowPlace p) const {
    return p.known() && std::binary_search(keys_.begin(), keys_.end(), key(p));
}

}  // namespace brandor::eval
