#include "core/eval/budget_filter.hpp"

#include <algorithm>
#include <optional>

#include "core/error.hpp"
#include "core/eval/group_index.hpp"
#include "core/eval/score_order.hpp"

namespace brandor::eval {
namespace {

bool known(const InstanceTable& dt, std::size_t p) {
    return dt.image_index[p] != kUnknownIndex && dt.category_index[p] != kUnknownIndex;
}

// Largest image index among rows whose image and category are both known.
std::optional<std::uint32_t> largest_known_image(const InstanceTable& dt) {
    std::optional<std::uint32_t> largest;
    for (std::size_t p = 0; p < dt.size(); ++p)
        if (known(dt, p) && (!largest || dt.image_index[p] > *largest)) largest = dt.image_index[p];
    return largest;
}

void check_columns(const InstanceTable& dt) {
    if (dt.image_index.size() != dt.size() || dt.category_index.size() != dt.size() ||
        dt.scores.size() != dt.size())
        throw InternalError("budget filter: detection columns differ in length");
}

}  // namespace

bool budget_dense_fits(const InstanceTable& dt, std::uint32_t slots) {
    auto largest = largest_known_image(dt);
    if (!largest) return true;
    std::uint64_t cells = (std::uint64_t{*largest} + 1) * slots;
    return cells <= 2 * static_cast<std::uint64_t>(dt.size());
}

std::vector<std::uint8_t> budget_keep_dense(const InstanceTable& dt, std::uint32_t slots, bool use_cats,
                                            std::uint64_t budget) {
    check_columns(dt);
    std::vector<std::uint8_t> keep(dt.size(), 1);
    auto largest = largest_known_image(dt);
    if (!largest || slots == 0) return keep;
    auto cell_of = [&](std::size_t p) -> std::uint64_t {
        std::uint64_t slot = use_cats ? dt.category_index[p] : 0;
        if (slot >= slots) throw InternalError("budget filter: category index outside the slots");
        return std::uint64_t{dt.image_index[p]} * slots + slot;
    };
    std::vector<std::uint32_t> counts((std::uint64_t{*largest} + 1) * slots, 0);
    for (std::size_t p = 0; p < dt.size(); ++p)
        if (known(dt, p)) ++counts[cell_of(p)];

    std::vector<std::uint32_t> crowded;  // rows of over-full groups, in table order
    for (std::size_t p = 0; p < dt.size(); ++p)
        if (known(dt, p) && counts[cell_of(p)] > budget) crowded.push_back(static_cast<std::uint32_t>(p));
    std::stable_sort(crowded.begin(), crowded.end(), [&](std::uint32_t a, std::uint32_t b) {
        std::uint64_t ca = cell_of(a), cb = cell_of(b);
        if (ca != cb) return ca < cb;
        double sa = dt.scores[a], sb = dt.scores[b];
        if (score_before(sa, sb)) return true;
        if (score_before(sb, sa)) return false;
        return !use_cats && dt.category_index[a] < dt.category_index[b];
    });
    std::uint64_t rank = 0;
    for (std::size_t i = 0; i < crowded.size(); ++i) {
        if (i > 0 && cell_of(crowded[i]) != cell_of(crowded[i - 1])) rank = 0;
        if (rank >= budget) keep[crowded[i]] = 0;
        ++rank;
    }
    return keep;
}

std::vector<std::uint8_t> budget_keep_sparse(const InstanceTable& dt, std::uint32_t slots, bool use_cats,
                                             std::uint64_t budget) {
    check_columns(dt);
    std::vector<std::uint8_t> keep(dt.size(), 1);
    GroupIndex index = build_group_index(dt.image_index, dt.category_index, slots, use_cats);
    std::vector<std::uint32_t> group;
    for (const GroupRun& run : index.runs) {
        if (run.length <= budget) continue;
        auto positions = index.positions(run);
        // With pooled categories a run is ordered by category, then position,
        // so a stable sort by score breaks ties exactly as the dense path does.
        group.assign(positions.begin(), positions.end());
        std::stable_sort(group.begin(), group.end(),
                         [&](std::uint32_t a, std::uint32_t b) { return score_before(dt.scores[a], dt.scores[b]); });
        for (std::size_t r = static_cast<std::size_t>(budget); r < group.size(); ++r) keep[group[r]] = 0;
    }
    return keep;
}

std::vector<std::uint8_t> budget_keep(const InstanceTable& dt, std::uint32_t slots, bool use_cats,
                                      std::uint64_t budget) {
    if (budget_dense_fits(dt, slots)) return budget_keep_dense(dt, slots, use_cats, budget);
    return budget_keep_sparse(dt, slots, use_cats, budget);
}

}  // namespace brandor::eval
