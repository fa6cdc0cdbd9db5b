#include "core/eval/accumulate.hpp"

#include <algorithm>

#include "core/error.hpp"
#include "core/eval/score_order.hpp"

namespace brandor::eval {
namespace {

constexpr double kEpsilon = 2.220446049250313e-16;  // spacing of 1.0

}  // namespace

std::vector<MatchView> match_views(std::span<const ImageMatch> matches) {
    std::vector<MatchView> views;
    views.reserve(matches.size());
    for (const auto& m : matches) views.push_back(MatchView{m.scores, m.status, m.gt_ignore});
    return views;
}

std::vector<RankedEntry> rank_matches(std::span<const MatchView> matches) {
    std::vector<RankedEntry> entries;
    std::size_t total = 0;
    for (const auto& m : matches) total += m.scores.size();
    entries.reserve(total);
    for (std::size_t p = 0; p < matches.size(); ++p)
        for (std::size_t r = 0; r < matches[p].scores.size(); ++r)
            entries.push_back(
                RankedEntry{matches[p].scores[r], static_cast<std::uint32_t>(p), static_cast<std::uint32_t>(r)});
    std::stable_sort(entries.begin(), entries.end(),
                     [](const RankedEntry& a, const RankedEntry& b) { return score_before(a.score, b.score); });
    return entries;
}

std::uint64_t recall_target(double r, std::uint64_t npig) {
    const double denom = static_cast<double>(npig);
    // r <= n / npig is monotone in n: binary search for its first n.
    std::uint64_t lo = 0, hi = npig + 1;
    while (lo < hi) {
        std::uint64_t mid = lo + (hi - lo) / 2;
        if (r <= static_cast<double>(mid) / denom)
            hi = mid;
        else
            lo = mid + 1;
    }
    return lo;
}

void accumulate_area(const AccumulateParams& p, std::span<const MatchView> matches,
                     std::span<const RankedEntry> entries, std::size_t area, CategoryBlocks& out) {
    std::uint64_t npig = 0;
    for (const auto& m : matches)
        for (std::uint8_t ig : m.gt_ignore) npig += ig == 0;
    accumulate_area(p, matches, entries, area, npig, out);
}

void accumulate_area(const AccumulateParams& p, std::span<const MatchView> matches,
                     std::span<const RankedEntry> entries, std::size_t area, std::uint64_t npig,
                     CategoryBlocks& out) {
    const std::size_t T = out.T, R = out.R, A = out.A, M = out.M;
    if (area >= A) throw InternalError("index out of range: area range of the accumulation");
    if (npig == 0) return;

    // Each recall threshold on its own, as the reference looks each one up;
    // the targets need not be sorted. The reference stops at the first
    // threshold it cannot reach and leaves the later ones at 0, reachable or not.
    std::vector<std::uint64_t> need(R);
    for (std::size_t i = 0; i < R; ++i) need[i] = recall_target(p.rec_thrs[i], npig);

    // The status bytes of every entry, gathered once per area range into
    // threshold-major rows, so the walks below read memory in order.
    const std::size_t n = entries.size();
    std::vector<std::uint8_t> statuses(T * n);
    for (std::size_t e = 0; e < n; ++e) {
        const std::uint8_t* s = matches[entries[e].pair].status.data() + std::size_t{entries[e].rank} * T;
        for (std::size_t t = 0; t < T; ++t) statuses[t * n + e] = s[t];
    }

    const std::uint64_t budget = p.budget;
    std::vector<double> tp_fp;       // false positives before the j-th true positive
    std::vector<double> tp_score;    // score of the j-th true positive
    std::vector<double> envelope;    // envelope[j-1] = max precision at or after the j-th true positive
    std::vector<std::uint32_t> selected;  // entry positions within the cap, in ranked order
    selected.reserve(n);
    for (std::size_t mi = 0; mi < M; ++mi) {
        const std::uint64_t md = p.max_dets[mi];
        const bool all = md >= budget;
        selected.clear();
        if (!all)
            for (std::size_t e = 0; e < n; ++e)
                if (entries[e].rank < md) selected.push_back(static_cast<std::uint32_t>(e));
        const std::size_t nd = all ? n : selected.size();
        const double first_score = nd == 0 ? 0.0 : entries[all ? 0 : selected[0]].score;
        for (std::size_t t = 0; t < T; ++t) {
            tp_fp.clear();
            tp_score.clear();
            std::uint64_t fp = 0;
            const std::uint8_t* row = statuses.data() + t * n;
            auto visit = [&](std::size_t e) {
                std::uint8_t st = row[e];
                if (st == kTruePositive) {
                    tp_fp.push_back(static_cast<double>(fp));
                    tp_score.push_back(entries[e].score);
                } else if (st == kFalsePositive) {
                    ++fp;
                }
            };
            if (all)
                for (std::size_t e = 0; e < n; ++e) visit(e);
            else
                for (std::uint32_t e : selected) visit(e);
            const std::size_t tp = tp_fp.size();
            envelope.resize(tp);
            double running = 0.0;
            for (std::size_t j = tp; j-- > 0;) {
                double count = static_cast<double>(j + 1);
                double precision = count / (tp_fp[j] + count + kEpsilon);
                running = std::max(running, precision);
                envelope[j] = running;
            }
            const std::size_t cell = (t * A + area) * M + mi;
            out.recall[cell] = nd > 0 ? static_cast<double>(tp) / static_cast<double>(npig) : 0.0;
            bool reachable = nd > 0;
            for (std::size_t i = 0; i < R; ++i) {
                double q = 0.0, s = 0.0;
                reachable = reachable && need[i] <= tp;
                if (reachable) {
                    if (need[i] >= 1) {
                        q = envelope[need[i] - 1];
                        s = tp_score[need[i] - 1];
                    } else {
                        q = tp > 0 ? envelope[0] : 0.0;
                        s = first_score;
                    }
                }
                const std::size_t at = ((t * R + i) * A + area) * M + mi;
                out.precision[at] = q;
                out.scores[at] = s;
            }
        }
    }
}

}  // namespace brandor::eval
