#include "core/eval/partial.hpp"

#include <algorithm>

#include "core/error.hpp"
#include "core/eval/matching.hpp"
#include "core/eval/similarity.hpp"
#include "core/parallel/pool.hpp"

namespace brandor::eval {
namespace {

// One slot's columns, joined into the record afterwards.
struct SlotColumns {
    std::vector<std::uint32_t> image, dets, npig;
    std::vector<double> scores;
    std::vector<std::uint8_t> status;
};

SlotColumns slot_columns(const EvaluatorCore& core, std::uint32_t slot) {
    const auto& p = core.params;
    const std::size_t T = p.iou_thrs.size(), A = p.area_rng.size();
    const std::vector<ImageSimilarity> sims = category_similarities(core, slot);
    const std::size_t n = sims.size();

    SlotColumns out;
    out.image.resize(n);
    out.dets.resize(n);
    out.npig.resize(n * A);
    // Where each pair's scores and statuses start: fixed before the parallel
    // matching, so every pair writes its own part.
    std::vector<std::size_t> first(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i) first[i + 1] = first[i] + sims[i].dets();
    out.scores.resize(first[n]);
    out.status.resize(first[n] * A * T);

    parallel::parallel_for_chunks(n, 64, [&](std::size_t begin, std::size_t end) {
        MatchScratch scratch;
        ImageMatch match;
        for (std::size_t i = begin; i < end; ++i) {
            const std::size_t D = sims[i].dets();
            out.image[i] = sims[i].image;
            out.dets[i] = static_cast<std::uint32_t>(D);
            for (std::size_t a = 0; a < A; ++a) {
                match_image(core, sims[i], a, match, scratch, false);
                if (a == 0) std::copy(match.scores.begin(), match.scores.end(), out.scores.begin() + first[i]);
                out.npig[i * A + a] =
                    static_cast<std::uint32_t>(std::count(match.gt_ignore.begin(), match.gt_ignore.end(), 0));
                std::copy(match.status.begin(), match.status.end(),
                          out.status.begin() + (first[i] * A + a * D) * T);
            }
        }
    });
    return out;
}

template <class T>
void append(std::vector<T>& to, const std::vector<T>& from) {
    to.insert(to.end(), from.begin(), from.end());
}

}  // namespace

PartialRecord build_partial(const EvaluatorCore& core) {
    const auto& p = core.params;
    for (std::size_t i = 1; i < p.img_ids.size(); ++i)
        if (p.img_ids[i - 1] >= p.img_ids[i])
            throw value_error("a partial result needs image ids in strictly ascending order");
    if (p.img_ids.size() > UINT32_MAX) throw value_error("a partial result holds at most 2^32 - 1 images");

    std::vector<SlotColumns> slots(core.slots);
    parallel::parallel_for(core.slots, 1, [&](std::size_t k) {
        slots[k] = slot_columns(core, static_cast<std::uint32_t>(k));
    });

    PartialRecord rec;
    rec.params = p;
    rec.slot_pairs.reserve(slots.size());
    for (const SlotColumns& s : slots) {
        rec.slot_pairs.push_back(static_cast<std::uint32_t>(s.image.size()));
        append(rec.image, s.image);
        append(rec.dets, s.dets);
        append(rec.npig, s.npig);
        append(rec.scores, s.scores);
        append(rec.status, s.status);
    }
    return rec;
}

}  // namespace brandor::eval
