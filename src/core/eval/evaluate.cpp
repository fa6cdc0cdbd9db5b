#include "core/eval/evaluate.hpp"

#include <exception>
#include <mutex>

#include "core/error.hpp"
#include "core/eval/accumulate.hpp"
#include "core/eval/similarity.hpp"
#include "core/parallel/pool.hpp"

namespace brandor::eval {
namespace {

// The run's shared output arrays behind one mutex. A failure while the lock is
// held poisons it: every later locker fails instead of reading half-written cells.
class SharedOutput {
public:
    explicit SharedOutput(EvalArrays& arrays) : arrays_(arrays) {}

    template <class F>
    void with_lock(F&& f) {
        std::lock_guard guard(mu_);
        if (poisoned_) throw InternalError("evaluation output lock poisoned");
        try {
            f(arrays_);
        } catch (...) {
            poisoned_ = true;
            throw;
        }
    }

private:
    std::mutex mu_;
    bool poisoned_ = false;
    EvalArrays& arrays_;
};

std::vector<PlacedEvalImage> evaluate_category(const EvaluatorCore& core, std::uint32_t slot, bool collect,
                                               SharedOutput& output) {
    const auto& p = core.params;
    const std::size_t T = p.iou_thrs.size(), R = p.rec_thrs.size(), A = p.area_rng.size(), M = p.max_dets.size();
    const std::size_t I = p.img_ids.size();

    Stopwatch iou_watch;
    std::vector<ImageSimilarity> sims = category_similarities(core, slot);
    iou_watch.add_to(core.timings.iou_cpu);

    CategoryBlocks blocks(T, R, A, M);
    std::vector<ImageMatch> matches(sims.size());
    std::vector<RankedEntry> entries;
    // Records of area range a and image pair i at a * pairs + i: ascending
    // list positions, because pairs come in ascending image order.
    std::vector<PlacedEvalImage> records;
    if (collect) records.resize(A * sims.size());

    for (std::size_t a = 0; a < A; ++a) {
        Stopwatch match_watch;
        parallel::parallel_for_chunks(sims.size(), 64, [&](std::size_t begin, std::size_t end) {
            MatchScratch scratch;
            for (std::size_t i = begin; i < end; ++i) {
                match_image(core, sims[i], a, matches[i], scratch, collect);
                // Each image has its own slot, so records can be built in parallel too.
                if (collect)
                    checked_at(records, a * sims.size() + i) = PlacedEvalImage{
                        (std::size_t{slot} * A + a) * I + sims[i].image,
                        std::make_unique<EvalImage>(build_eval_image(core, sims[i], matches[i], slot, a))};
            }
        });
        match_watch.add_to(core.timings.match_cpu);

        Stopwatch acc_watch;
        const std::vector<MatchView> views = match_views(matches);
        if (a == 0) entries = rank_matches(views);
        accumulate_area(accumulate_params(p), views, entries, a, blocks);
        acc_watch.add_to(core.timings.accumulate_cpu);

    }

    output.with_lock([&](EvalArrays& out) { place_blocks(blocks, slot, out); });
    return records;
}

}  // namespace

EvalArrays blank_arrays(const EvalParams& p) {
    EvalArrays arr;
    arr.T = p.iou_thrs.size();
    arr.R = p.rec_thrs.size();
    arr.K = p.category_slots();
    arr.A = p.area_rng.size();
    arr.M = p.max_dets.size();
    arr.precision.assign(arr.T * arr.R * arr.K * arr.A * arr.M, -1.0);
    arr.scores.assign(arr.precision.size(), -1.0);
    arr.recall.assign(arr.T * arr.K * arr.A * arr.M, -1.0);
    return arr;
}

void place_blocks(const CategoryBlocks& blocks, std::size_t slot, EvalArrays& out) {
    const std::size_t T = out.T, R = out.R, K = out.K, A = out.A, M = out.M;
    if (blocks.T != T || blocks.R != R || blocks.A != A || blocks.M != M || slot >= K)
        throw InternalError("category blocks do not fit the run's arrays");
    for (std::size_t t = 0; t < T; ++t)
        for (std::size_t a = 0; a < A; ++a)
            for (std::size_t m = 0; m < M; ++m) {
                out.recall[((t * K + slot) * A + a) * M + m] = blocks.recall[(t * A + a) * M + m];
                for (std::size_t r = 0; r < R; ++r) {
                    const std::size_t from = ((t * R + r) * A + a) * M + m;
                    const std::size_t to = (((t * R + r) * K + slot) * A + a) * M + m;
                    out.precision[to] = blocks.precision[from];
                    out.scores[to] = blocks.scores[from];
                }
            }
}

EvalResult evaluate_all(const EvaluatorCore& core, bool collect_eval_imgs) {
    const auto& p = core.params;
    EvalResult result;
    result.arrays = blank_arrays(p);
    EvalArrays& arr = result.arrays;

    SharedOutput output(arr);
    std::vector<std::vector<PlacedEvalImage>> per_category(core.slots);
    parallel::parallel_for(core.slots, 1, [&](std::size_t k) {
        per_category[k] = evaluate_category(core, static_cast<std::uint32_t>(k), collect_eval_imgs, output);
    });

    if (collect_eval_imgs) {
        result.eval_img_slots = arr.K * arr.A * p.img_ids.size();
        std::size_t total = 0;
        for (const auto& list : per_category) total += list.size();
        result.eval_imgs.reserve(total);
        for (auto& list : per_category)
            for (auto& rec : list) result.eval_imgs.push_back(std::move(rec));
    }
    return result;
}

PerInstanceRows per_instance(const EvaluatorCore& core, std::size_t t_idx, std::size_t a_idx,
                             std::uint64_t max_det) {
    const auto& p = core.params;
    if (t_idx >= p.iou_thrs.size())
        throw InternalError("index out of range: the threshold index is " + std::to_string(t_idx) +
                            " but there are " + std::to_string(p.iou_thrs.size()) + " thresholds");
    if (a_idx >= p.area_rng.size())
        throw InternalError("index out of range: the area index is " + std::to_string(a_idx) + " but there are " +
                            std::to_string(p.area_rng.size()) + " area ranges");
    const std::size_t T = p.iou_thrs.size();

    std::vector<PerInstanceRows> per_category(core.slots);
    parallel::parallel_for(core.slots, 1, [&](std::size_t k) {
        std::vector<ImageSimilarity> sims = category_similarities(core, static_cast<std::uint32_t>(k));
        std::vector<ImageMatch> matches(sims.size());
        parallel::parallel_for_chunks(sims.size(), 64, [&](std::size_t begin, std::size_t end) {
            MatchScratch scratch;
            for (std::size_t i = begin; i < end; ++i) match_image(core, sims[i], a_idx, matches[i], scratch, true);
        });
        PerInstanceRows& rows = per_category[k];
        const std::int64_t category_id = p.use_cats ? checked_at(p.cat_ids, k) : -1;
        for (std::size_t i = 0; i < sims.size(); ++i) {
            const ImageSimilarity& s = sims[i];
            const ImageMatch& m = matches[i];
            const std::int64_t image_id = checked_at(p.img_ids, s.image);
            const std::size_t D = s.dets(), G = s.gts();
            const std::size_t listed = static_cast<std::size_t>(std::min<std::uint64_t>(max_det, D));
            std::vector<std::uint8_t> gt_hit(G, 0);  // match order
            for (std::size_t d = 0; d < listed; ++d) {
                std::int32_t j = m.assignment[t_idx * D + d];
                std::uint32_t row = s.ranked[d];
                rows.dt_image_id.push_back(image_id);
                rows.dt_category_id.push_back(category_id);
                rows.dt_id.push_back(checked_at(core.dt.ids, row));
                rows.dt_score.push_back(checked_at(core.dt.scores, row));
                if (j >= 0) {
                    std::uint32_t g = m.match_order[j];
                    rows.dt_gt_id.push_back(checked_at(core.gt.ids, s.gt[g]));
                    rows.dt_iou.push_back(s.at(d, g));
                    gt_hit[j] = 1;
                } else {
                    rows.dt_gt_id.push_back(-1);
                    rows.dt_iou.push_back(0.0);
                }
                rows.dt_ignore.push_back(m.status[d * T + t_idx] == kIgnored);
            }
            for (std::size_t j = 0; j < G; ++j) {
                rows.gt_image_id.push_back(image_id);
                rows.gt_category_id.push_back(category_id);
                rows.gt_id.push_back(checked_at(core.gt.ids, s.gt[m.match_order[j]]));
                rows.gt_ignore.push_back(m.gt_ignore[j]);
                rows.gt_matched.push_back(gt_hit[j]);
            }
        }
    });

    PerInstanceRows out;
    auto append = [](auto& to, const auto& from) { to.insert(to.end(), from.begin(), from.end()); };
    for (const auto& r : per_category) {
        append(out.dt_image_id, r.dt_image_id);
        append(out.dt_category_id, r.dt_category_id);
        append(out.dt_id, r.dt_id);
        append(out.dt_gt_id, r.dt_gt_id);
        append(out.dt_score, r.dt_score);
        append(out.dt_iou, r.dt_iou);
        append(out.dt_ignore, r.dt_ignore);
        append(out.gt_image_id, r.gt_image_id);
        append(out.gt_category_id, r.gt_category_id);
        append(out.gt_id, r.gt_id);
        append(out.gt_ignore, r.gt_ignore);
        append(out.gt_matched, r.gt_matched);
    }
    return out;
}

}  // namespace brandor::eval
