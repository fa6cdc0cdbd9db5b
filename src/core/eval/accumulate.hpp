// Accumulation of one category's matches into precision, recall and score
// blocks, the numbers the reference's accumulate step stores: detections of
// all images ranked by score once, cumulative true/false positives, the
// precision envelope, and recall thresholds turned into true-positive counts.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/eval/evaluator_core.hpp"
#include "core/eval/matching.hpp"
#include "core/eval/similarity.hpp"

namespace brandor::eval {

// One evaluated detection of a category: its score, its image pair and its rank there.
struct RankedEntry {
    double score;
    std::uint32_t pair;
    std::uint32_t rank;
};

// All evaluated detections of a category, sorted stably by score (NaN last),
// so ties stay in image order, then rank order.
std::vector<RankedEntry> rank_category(const EvaluatorCore& core, std::span<const ImageSimilarity> sims);

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
void accumulate_area(const EvaluatorCore& core, std::span<const ImageMatch> matches,
                     std::span<const RankedEntry> entries, std::size_t area, CategoryBlocks& out);

// The smallest n in 0..npig with r <= n / npig, npig + 1 when there is none.
std::uint64_t recall_target(double r, std::uint64_t npig);

}  // namespace brandor::eval
