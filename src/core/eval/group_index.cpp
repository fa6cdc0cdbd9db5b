#include "core/eval/group_index.hpp"

#include <limits>

#include "core/error.hpp"
#include "core/eval/instance_table.hpp"

namespace brandor::eval {
namespace {

// Stable counting sort of positions by key(position) < buckets.
template <class Key>
std::vector<std::uint32_t> counting_sort(const std::vector<std::uint32_t>& in, std::size_t buckets, Key key) {
    std::vector<std::uint32_t> starts(buckets + 1, 0);
    for (std::uint32_t p : in) ++starts[key(p) + 1];
    for (std::size_t b = 0; b < buckets; ++b) starts[b + 1] += starts[b];
    std::vector<std::uint32_t> out(in.size());
    for (std::uint32_t p : in) out[starts[key(p)]++] = p;
    return out;
}

}  // namespace

std::span<const GroupRun> GroupIndex::category_runs(std::uint32_t slot) const {
    const CategorySpan& s = checked_at(category_spans, slot);
    return std::span<const GroupRun>(runs).subspan(s.first, s.end - s.first);
}

GroupIndex build_group_index(std::span<const std::uint32_t> image_index,
                             std::span<const std::uint32_t> category_index,
                             std::uint32_t slots, bool use_cats) {
    if (image_index.size() != category_index.size())
        throw InternalError("group index: image and category columns differ in length");
    if (image_index.size() > std::numeric_limits<std::uint32_t>::max())
        throw InternalError("group index: too many instances for 32-bit positions");

    std::vector<std::uint32_t> known;
    known.reserve(image_index.size());
    std::uint32_t max_image = 0, max_category = 0;
    for (std::size_t i = 0; i < image_index.size(); ++i) {
        std::uint32_t img = image_index[i], cat = category_index[i];
        if (img == kUnknownIndex || cat == kUnknownIndex) continue;
        if (use_cats && cat >= slots) throw InternalError("group index: category index outside the slots");
        known.push_back(static_cast<std::uint32_t>(i));
        if (img > max_image) max_image = img;
        if (cat > max_category) max_category = cat;
    }

    GroupIndex index;
    index.category_spans.assign(slots, CategorySpan{});
    if (known.empty()) return index;

    // Least significant key first; both passes are stable, so a group keeps
    // ascending table position.
    auto by_image = [&](std::uint32_t p) { return image_index[p]; };
    auto by_category = [&](std::uint32_t p) { return category_index[p]; };
    if (use_cats) {
        index.order = counting_sort(counting_sort(known, std::size_t{max_image} + 1, by_image),
                                    std::size_t{max_category} + 1, by_category);
    } else {
        index.order = counting_sort(counting_sort(known, std::size_t{max_category} + 1, by_category),
                                    std::size_t{max_image} + 1, by_image);
    }

    const auto& order = index.order;
    for (std::uint32_t pos = 0; pos < order.size();) {
        std::uint32_t img = image_index[order[pos]], cat = category_index[order[pos]];
        std::uint32_t end = pos + 1;
        while (end < order.size() && image_index[order[end]] == img &&
               (!use_cats || category_index[order[end]] == cat))
            ++end;
        if (use_cats) {
            CategorySpan& span = index.category_spans[cat];
            auto run = static_cast<std::uint32_t>(index.runs.size());
            if (span.first == span.end) span.first = run;
            span.end = run + 1;
        }
        index.runs.push_back(GroupRun{img, pos, end - pos});
        pos = end;
    }
    if (!use_cats && slots > 0)
        index.category_spans[0] = CategorySpan{0, static_cast<std::uint32_t>(index.runs.size())};
    return index;
}

std::vector<ImagePair> pair_images(const GroupIndex& gt, const GroupIndex& dt, std::uint32_t slot) {
    auto g = gt.category_runs(slot);
    auto d = dt.category_runs(slot);
    std::vector<ImagePair> pairs;
    pairs.reserve(g.size() + d.size());
    std::size_t i = 0, j = 0;
    while (i < g.size() || j < d.size()) {
        ImagePair p;
        bool take_gt = i < g.size() && (j >= d.size() || g[i].image <= d[j].image);
        bool take_dt = j < d.size() && (i >= g.size() || d[j].image <= g[i].image);
        if (take_gt) {
            p.has_gt = true;
            p.gt_start = g[i].start;
            p.gt_length = g[i].length;
            p.image = g[i].image;
            ++i;
        }
        if (take_dt) {
            p.has_dt = true;
            p.dt_start = d[j].start;
            p.dt_length = d[j].length;
            p.image = d[j].image;
            ++j;
        }
        pairs.push_back(p);
    }
    return pairs;
}

}  // namespace brandor::eval
