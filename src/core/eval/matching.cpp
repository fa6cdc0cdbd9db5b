#include "core/eval/matching.hpp"

#include <algorithm>

#include "core/error.hpp"

namespace brandor::eval {

void match_image(const EvaluatorCore& core, const ImageSimilarity& sim, std::size_t area, ImageMatch& out,
                 MatchScratch& scratch, bool retain_assignment) {
    const AreaRange range = checked_at(core.params.area_rng, area);
    const auto& thrs = core.params.iou_thrs;
    const std::size_t T = thrs.size(), D = sim.dets(), G = sim.gts();
    const auto& gt = core.gt;
    const auto& dt = core.dt;

    // Non-ignored ground truths first, each part in table order. A NaN area
    // is not outside the range.
    out.match_order.clear();
    out.gt_ignore.clear();
    std::vector<std::uint8_t>& flags = scratch.ignored;
    flags.assign(G, 0);
    for (std::size_t g = 0; g < G; ++g) {
        std::uint32_t row = sim.gt[g];
        double a = checked_at(gt.areas, row);
        flags[g] = checked_at(gt.ignore, row) || a < range.lo || a > range.hi;
    }
    for (int pass = 0; pass < 2; ++pass)
        for (std::size_t g = 0; g < G; ++g)
            if (flags[g] == pass) {
                out.match_order.push_back(static_cast<std::uint32_t>(g));
                out.gt_ignore.push_back(static_cast<std::uint8_t>(pass));
            }
    out.scores.resize(D);
    out.status.resize(D * T);
    std::vector<std::int32_t>& assignment = retain_assignment ? out.assignment : scratch.assignment;
    assignment.assign(T * D, -1);

    // Status of an unmatched detection: ignored outside the area range or in
    // a non-exhaustive group, else a false positive.
    auto unmatched_status = [&](std::uint32_t row) -> std::uint8_t {
        double a = checked_at(dt.areas, row);
        bool outside = a < range.lo || a > range.hi || checked_at(dt.non_exhaustive, row) != 0;
        return outside ? kIgnored : kFalsePositive;
    };
    if (G == 0 || D == 0) {
        // Nothing to match: the common case of an image with detections of
        // the category but no ground truth of it.
        for (std::size_t d = 0; d < D; ++d) {
            std::uint32_t row = sim.ranked[d];
            out.scores[d] = checked_at(dt.scores, row);
            std::fill_n(out.status.begin() + d * T, T, unmatched_status(row));
        }
        return;
    }

    std::vector<std::uint8_t>& crowd = scratch.crowd;
    crowd.resize(G);
    for (std::size_t j = 0; j < G; ++j) crowd[j] = checked_at(gt.iscrowd, sim.gt[out.match_order[j]]) != 0;

    assign_greedy(
        thrs, D, G, out.gt_ignore, crowd,
        [&](std::size_t d) { return sim.best[d]; },
        [&](std::size_t d, std::size_t j) { return sim.iou[d * G + out.match_order[j]]; }, assignment.data(),
        scratch.matched);

    for (std::size_t d = 0; d < D; ++d) {
        std::uint32_t row = sim.ranked[d];
        out.scores[d] = checked_at(dt.scores, row);
        const std::uint8_t if_unmatched = unmatched_status(row);
        for (std::size_t t = 0; t < T; ++t) {
            std::int32_t m = assignment[t * D + d];
            out.status[d * T + t] = m >= 0 ? (out.gt_ignore[m] ? kIgnored : kTruePositive) : if_unmatched;
        }
    }
}

EvalImage build_eval_image(const EvaluatorCore& core, const ImageSimilarity& sim, const ImageMatch& match,
                           std::uint32_t slot, std::size_t area) {
    const std::size_t T = core.params.iou_thrs.size(), D = sim.dets(), G = sim.gts();
    if (match.assignment.size() != T * D) throw InternalError("per-image record needs the retained assignment");
    EvalImage e;
    e.image_id = checked_at(core.params.img_ids, sim.image);
    e.category_id = core.params.use_cats ? checked_at(core.params.cat_ids, slot) : -1;
    e.area_index = area;
    e.max_det = core.params.budget();
    e.T = T;
    e.D = D;
    e.G = G;
    e.ids.resize(D + G);
    for (std::size_t d = 0; d < D; ++d) e.ids[d] = checked_at(core.dt.ids, sim.ranked[d]);
    for (std::size_t j = 0; j < G; ++j) e.ids[D + j] = checked_at(core.gt.ids, sim.gt[match.match_order[j]]);
    e.values.assign(D + 2 * T * D + T * G + G, 0.0);
    double* scores = e.values.data();
    double* dt_matches = scores + D;
    double* gt_matches = dt_matches + T * D;
    double* gt_ignore = gt_matches + T * G;
    double* dt_ignore = gt_ignore + G;
    std::copy(match.scores.begin(), match.scores.end(), scores);
    for (std::size_t j = 0; j < G; ++j) gt_ignore[j] = match.gt_ignore[j];
    for (std::size_t t = 0; t < T; ++t)
        for (std::size_t d = 0; d < D; ++d) {
            std::int32_t m = match.assignment[t * D + d];
            if (m >= 0) {
                dt_matches[t * D + d] = static_cast<double>(e.ids[D + m]);
                gt_matches[t * G + m] = static_cast<double>(e.ids[d]);
            }
            dt_ignore[t * D + d] = match.status[d * T + t] == kIgnored ? 1.0 : 0.0;
        }
    return e;
}

}  // namespace brandor::eval
