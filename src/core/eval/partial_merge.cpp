#include "core/eval/partial_merge.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "core/error.hpp"
#include "core/eval/accumulate.hpp"
#include "core/parallel/pool.hpp"

namespace brandor::eval {
namespace {

bool same_doubles(const std::vector<double>& a, const std::vector<double>& b) {
    // Bit for bit: a NaN threshold equals itself, 0.0 and -0.0 differ.
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// The first parameter (other than the images) in which `p` differs from `q`, or null.
const char* differing_parameter(const EvalParams& p, const EvalParams& q) {
    if (p.iou_type != q.iou_type) return "iou_type";
    if (p.use_cats != q.use_cats) return "use_cats";
    if (p.use_area != q.use_area) return "use_area";
    if (p.cat_ids != q.cat_ids) return "cat_ids";
    if (!same_doubles(p.iou_thrs, q.iou_thrs)) return "iou_thrs";
    if (!same_doubles(p.rec_thrs, q.rec_thrs)) return "rec_thrs";
    if (p.max_dets != q.max_dets) return "max_dets";
    if (p.area_rng.size() != q.area_rng.size() ||
        (!p.area_rng.empty() &&
         std::memcmp(p.area_rng.data(), q.area_rng.data(), p.area_rng.size() * sizeof(AreaRange)) != 0))
        return "area_rng";
    if (!same_doubles(p.kpt_sigmas, q.kpt_sigmas)) return "kpt_sigmas";
    return nullptr;
}

struct ShardImage {
    std::int64_t id;
    std::uint32_t part, local;
};

// One pair of one partial.
struct PairRef {
    std::uint32_t part, pair;
};

}  // namespace

MergedPartials merge_partials(std::span<const PartialRecord> parts) {
    if (parts.empty()) throw value_error("there are no partial results to merge");
    if (parts.size() > UINT32_MAX) throw value_error("too many partial results to merge");
    for (std::size_t s = 1; s < parts.size(); ++s)
        if (const char* name = differing_parameter(parts[0].params, parts[s].params))
            throw value_error("partial results were evaluated with different parameters: " + std::string(name) +
                              " of partial " + std::to_string(s) + " differs from that of partial 0");

    // The union of the images in ascending order, and each shard image's position in it.
    std::vector<ShardImage> images;
    for (std::uint32_t s = 0; s < parts.size(); ++s)
        for (std::uint32_t i = 0; i < parts[s].params.img_ids.size(); ++i)
            images.push_back(ShardImage{parts[s].params.img_ids[i], s, i});
    if (images.size() > UINT32_MAX) throw value_error("too many images to merge");
    std::sort(images.begin(), images.end(), [](const ShardImage& a, const ShardImage& b) { return a.id < b.id; });
    std::vector<std::int64_t> repeated;
    for (std::size_t i = 1; i < images.size(); ++i)
        if (images[i].id == images[i - 1].id && (repeated.empty() || repeated.back() != images[i].id))
            repeated.push_back(images[i].id);
    if (!repeated.empty()) {
        std::string listed;
        for (std::size_t i = 0; i < repeated.size() && i < 10; ++i)
            listed += (i ? ", " : "") + std::to_string(repeated[i]);
        if (repeated.size() > 10) listed += ", ...";
        throw value_error("partial results overlap: " + std::to_string(repeated.size()) +
                          " image(s) are in more than one shard (image ids " + listed + ")");
    }
    std::vector<std::vector<std::uint32_t>> global_of(parts.size());
    for (std::size_t s = 0; s < parts.size(); ++s) global_of[s].resize(parts[s].params.img_ids.size());
    for (std::uint32_t g = 0; g < images.size(); ++g) global_of[images[g].part][images[g].local] = g;

    MergedPartials out;
    out.params = parts[0].params;
    out.params.img_ids.clear();
    for (const ShardImage& im : images) out.params.img_ids.push_back(im.id);
    const EvalParams& p = out.params;
    out.arrays = blank_arrays(p);
    const std::size_t K = p.category_slots(), A = p.area_rng.size(), T = p.iou_thrs.size(), I = images.size();

    // Every pair with its slot and global image position; then a stable
    // counting sort by image position and one by slot give slot-major,
    // image-ordered pairs, as the single run walks them.
    std::size_t total = 0;
    for (const PartialRecord& part : parts) total += part.pairs();
    if (total > UINT32_MAX) throw value_error("too many image and category pairs to merge");
    std::vector<PairRef> refs;
    std::vector<std::uint32_t> ref_slot, ref_image;
    refs.reserve(total);
    ref_slot.reserve(total);
    ref_image.reserve(total);
    for (std::uint32_t s = 0; s < parts.size(); ++s) {
        std::uint32_t pair = 0;
        for (std::uint32_t k = 0; k < K; ++k)
            for (std::uint32_t j = 0; j < parts[s].slot_pairs[k]; ++j, ++pair) {
                refs.push_back(PairRef{s, pair});
                ref_slot.push_back(k);
                ref_image.push_back(global_of[s][parts[s].image[pair]]);
            }
    }
    auto counting_sort = [](const std::vector<std::uint32_t>& key, std::size_t buckets,
                            const std::vector<std::uint32_t>& order) {
        std::vector<std::size_t> start(buckets + 1, 0);
        for (std::uint32_t r : order) ++start[key[r] + 1];
        for (std::size_t b = 0; b < buckets; ++b) start[b + 1] += start[b];
        std::vector<std::uint32_t> sorted(order.size());
        for (std::uint32_t r : order) sorted[start[key[r]]++] = r;
        return sorted;
    };
    std::vector<std::uint32_t> order(total);
    for (std::uint32_t r = 0; r < total; ++r) order[r] = r;
    order = counting_sort(ref_image, I, order);
    order = counting_sort(ref_slot, K, order);
    std::vector<std::size_t> slot_first(K + 1, 0);
    for (std::uint32_t k : ref_slot) ++slot_first[k + 1];
    for (std::size_t k = 0; k < K; ++k) slot_first[k + 1] += slot_first[k];

    // Where each pair's scores start in its partial.
    std::vector<std::vector<std::size_t>> score_first(parts.size());
    for (std::size_t s = 0; s < parts.size(); ++s) {
        auto& first = score_first[s];
        first.assign(parts[s].pairs() + 1, 0);
        for (std::size_t i = 0; i < parts[s].pairs(); ++i) first[i + 1] = first[i] + parts[s].dets[i];
    }

    const AccumulateParams acc = accumulate_params(p);
    parallel::parallel_for(K, 1, [&](std::size_t k) {
        const std::span<const std::uint32_t> slot_refs(order.data() + slot_first[k], slot_first[k + 1] - slot_first[k]);
        CategoryBlocks blocks(T, p.rec_thrs.size(), A, p.max_dets.size());
        std::vector<MatchView> views(slot_refs.size());
        std::vector<RankedEntry> entries;
        for (std::size_t a = 0; a < A; ++a) {
            std::uint64_t npig = 0;
            for (std::size_t i = 0; i < slot_refs.size(); ++i) {
                const PairRef ref = refs[slot_refs[i]];
                const PartialRecord& part = parts[ref.part];
                const std::size_t first = score_first[ref.part][ref.pair], D = part.dets[ref.pair];
                views[i].scores = std::span<const double>(part.scores).subspan(first, D);
                views[i].status = std::span<const std::uint8_t>(part.status).subspan((first * A + a * D) * T, D * T);
                npig += part.npig[std::size_t{ref.pair} * A + a];
            }
            // Scores are the same in every area range: rank them once.
            if (a == 0) entries = rank_matches(views);
            accumulate_area(acc, views, entries, a, npig, blocks);
        }
        place_blocks(blocks, k, out.arrays);  // each slot writes only its own cells
    });
    return out;
}

}  // namespace brandor::eval
