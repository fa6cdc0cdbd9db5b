// Accumulation of one category's matches into precision, recall and score
// blocks, the numbers the reference's accumulate step stores: detections of
// all images ranked by score once, cumulative true/false positives, the
// precision envelope, and recall thresholds turned into true-positive counts.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/eval/matching.hpp"
#include "core/eval/params.hpp"

namespace brandor::eval {

// One evaluated detection of a category: its score, its image pair and its rank there.
struct RankedEntry {
    double score;
    std::uint32_t pair;
    std::uint32_t rank;
};

// What accumulation reads of one image's match: the ranked detections'
// scores, their status (D x T, detection-major) and the ground-truth ignore
// flags. A view, so that matches held in other layouts can be accumulated.
struct MatchView {
    std::span<const double> scores;
    std::span<const std::uint8_t> status;
    std::span<const std::uint8_t> gt_ignore;
};

std::vector<MatchView> match_views(std::span<const ImageMatch> matches);

// All ranked detections of the matched images, sorted stably by score (NaN
// last), so ties stay in image order, then rank order.
std::vector<RankedEntry> rank_matches(std::span<const MatchView> matches);

// What accumulation reads of the parameters. A cap at or above `budget`
// selects every ranked detection; a smaller one those of lower rank.
struct AccumulateParams {
    std::span<const double> rec_thrs;
    std::span<const std::uint64_t> max_dets;
    std::uint64_t budget = 0;
};

inline AccumulateParams accumulate_params(const EvalParams& p) {
    return AccumulateParams{p.rec_thrs, p.max_dets, p.budget()};
}

// A category's local result blocks: precision and scores [T][R][A][M],
// recall [T][A][M]; cells without non-ignored ground truth keep -1.
struct CategoryBlocks {
    std::size_t T = 0, R = 0, A = 0, M = 0;
    std::vector<double> precision, recall, scores;

    CategoryBlocks(std::size_t t, std::size_t r, std::size_t a, std::size_t m)
        : T(t), R(r), A(a), M(m), precision(t * r * a * m, -1.0), recall(t * a * m, -1.0),
          scores(t * r * a * m, -1.0) {}
};

// Fills the blocks' cells of area range `area` from the category's matches for it.
void accumulate_area(const AccumulateParams& p, std::span<const MatchView> matches,
                     std::span<const RankedEntry> entries, std::size_t area, CategoryBlocks& out);

// The same with the number of non-ignored ground truths given: the matches'
// gt_ignore spans are not read.
void accumulate_area(const AccumulateParams& p, std::span<const MatchView> matches,
                     std::span<const RankedEntry> entries, std::size_t area, std::uint64_t npig,
                     CategoryBlocks& out);

// The smallest n in 0..npig with r <= n / npig, npig + 1 when there is none.
std::uint64_t recall_target(double r, std::uint64_t npig);

}  // namespace brandor::eval
