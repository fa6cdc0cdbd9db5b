#include "core/eval/similarity.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/error.hpp"
#include "core/eval/score_order.hpp"
#include "core/parallel/pool.hpp"
#include "core/rle/counts_text.hpp"
#include "core/rle/iou.hpp"

namespace brandor::eval {
namespace {

constexpr double kEpsilon = 2.220446049250313e-16;  // spacing of 1.0

// The detection rows of a pair ranked by score (stable: ties keep the group's
// order), cut at the budget. Rows the budget filter dropped can never be among
// the first `budget` of their group, so they are left out before sorting.
std::vector<std::uint32_t> rank_detections(const EvaluatorCore& core, const ImagePair& pair) {
    std::vector<std::uint32_t> ranked;
    if (!pair.has_dt) return ranked;
    auto rows = std::span<const std::uint32_t>(core.dt_index.order).subspan(pair.dt_start, pair.dt_length);
    ranked.reserve(rows.size());
    for (std::uint32_t r : rows)
        if (checked_at(core.dt_keep, r)) ranked.push_back(r);
    const auto& scores = core.dt.scores;
    std::stable_sort(ranked.begin(), ranked.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return score_before(scores[a], scores[b]); });
    std::uint64_t budget = core.params.budget();
    if (ranked.size() > budget) ranked.resize(static_cast<std::size_t>(budget));
    return ranked;
}

// The sum of v[0..n) as the reference's array sum forms it: below eight terms
// one after the other; otherwise eight interleaved partial sums combined
// pairwise, then the remainder in order (and halves recursively beyond 128).
double pairwise_sum(const double* v, std::size_t n) {
    if (n < 8) {
        double s = 0.0;
        for (std::size_t i = 0; i < n; ++i) s += v[i];
        return s;
    }
    if (n <= 128) {
        double r[8];
        for (std::size_t j = 0; j < 8; ++j) r[j] = v[j];
        std::size_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (std::size_t j = 0; j < 8; ++j) r[j] += v[i + j];
        double s = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) s += v[i];
        return s;
    }
    std::size_t half = n / 2;
    half -= half % 8;
    return pairwise_sum(v, half) + pairwise_sum(v + half, n - half);
}

void box_similarities(const EvaluatorCore& core, ImageSimilarity& s) {
    auto dt_boxes = box_rows(core.dt.geometry);
    auto gt_boxes = box_rows(core.gt.geometry);
    std::size_t G = s.gts();
    for (std::size_t gi = 0; gi < G; ++gi) {
        std::size_t g = s.gt[gi];
        if (4 * g + 4 > gt_boxes.size()) throw InternalError("ground-truth box outside the box column");
        const double* gb = gt_boxes.data() + 4 * g;
        bool crowd = checked_at(core.gt.iscrowd, g) != 0;
        for (std::size_t d = 0; d < s.dets(); ++d) {
            std::size_t p = s.ranked[d];
            if (4 * p + 4 > dt_boxes.size()) throw InternalError("detection box outside the box column");
            s.iou[d * G + gi] = rle::box_iou(dt_boxes.data() + 4 * p, gb, crowd);
        }
    }
}

void keypoint_similarities(const EvaluatorCore& core, const KeypointStore& gk, const KeypointStore& dk,
                           ImageSimilarity& s) {
    std::size_t n = gk.keypoint_count;
    if (dk.keypoint_count != n || core.params.kpt_sigmas.size() < n)
        throw InternalError("index out of range: keypoint count exceeds the sigmas or the detections' keypoints");
    std::vector<double> vars(n);
    for (std::size_t j = 0; j < n; ++j) {
        double twice = core.params.kpt_sigmas[j] + core.params.kpt_sigmas[j];
        vars[j] = twice * twice;
    }
    auto coords_of = [n](const KeypointStore& k, std::size_t row) {
        std::uint64_t start = k.row_start(row);
        if (start == KeypointStore::kNoKeypoints || start + 2 * n > k.coords.size())
            throw InternalError("index out of range: keypoint coordinates outside the column");
        return k.coords.data() + start;
    };
    std::size_t G = s.gts();
    for (std::size_t gi = 0; gi < G; ++gi) {
        std::size_t g = s.gt[gi];
        const double* xg = coords_of(gk, g);
        std::uint64_t vstart = gk.row_start(g) / 2;
        if (vstart + n > gk.visibility.size()) throw InternalError("index out of range: keypoint visibility");
        const std::uint8_t* vis = gk.visibility.data() + vstart;
        if (4 * g + 4 > core.gt.boxes.size()) throw InternalError("index out of range: ground-truth box");
        const double* gbox = core.gt.boxes.data() + 4 * g;
        double area = core.params.use_area ? checked_at(core.gt.areas, g) : gbox[2] * gbox[3] * 0.53;
        for (std::size_t d = 0; d < s.dets(); ++d)
            s.iou[d * G + gi] = keypoint_similarity(coords_of(dk, s.ranked[d]), xg, vis, n, vars.data(), area, gbox,
                                                   core.exp);
    }
}

// Pairs whose IoU cannot reach the smallest threshold may be answered 0
// without walking their runs; below every threshold, so matching is unchanged.
double pruning_threshold(const EvalParams& params) {
    if (params.iou_thrs.empty()) return 0.0;
    double t = *std::min_element(params.iou_thrs.begin(), params.iou_thrs.end());
    t = std::min(t, 0.9999999999);
    return t > 0.0 ? t : 0.0;
}

// The masks of `rows` as pointers: masks held as counts text (a list
// source's, or a compact store's left in its snapshot) are decoded into
// `decoded`, so they live no longer than the pair's work; masks made at
// construction are pointed to where they are.
std::vector<const rle::Rle*> select_masks(const Geometry& g, std::span<const std::uint32_t> rows,
                                          std::vector<rle::Rle>& decoded) {
    std::vector<const rle::Rle*> out(rows.size());
    decoded.reserve(rows.size());  // `out` points into it
    if (const auto* m = std::get_if<MaskStore>(&g)) {
        for (std::size_t i = 0; i < rows.size(); ++i) {
            decoded.push_back(m->mask(rows[i]));
            out[i] = &decoded.back();
        }
        return out;
    }
    const auto& c = std::get<CompressedMaskStore>(g);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const CompressedMask& e = checked_at(c.entries, rows[i]);
        if (e.owned != CompressedMask::kNoOwned) {
            out[i] = &checked_at(c.owned, e.owned);
            continue;
        }
        if (e.offset + e.length > c.text.size()) throw InternalError("compressed mask outside its text");
        decoded.push_back(rle::decode_rle(c.text.substr(e.offset, e.length), e.h, e.w));
        out[i] = &decoded.back();
    }
    return out;
}

// Mask IoU over the selected rows of two mask arrays, into s.iou (D x G).
void mask_matrix(const EvaluatorCore& core, std::span<const rle::Rle* const> dt,
                 std::span<const rle::Rle* const> gt, std::span<const std::uint8_t> crowd, std::span<double> out) {
    rle::mask_iou(dt, gt, crowd, pruning_threshold(core.params), out);
}

void mask_matrix(const EvaluatorCore& core, const std::vector<rle::Rle>& dt_masks,
                 const std::vector<rle::Rle>& gt_masks, std::span<const std::uint8_t> crowd,
                 ImageSimilarity& s, std::span<double> out) {
    std::vector<const rle::Rle*> dt(s.dets()), gt(s.gts());
    for (std::size_t d = 0; d < s.dets(); ++d) dt[d] = &checked_at(dt_masks, s.ranked[d]);
    for (std::size_t g = 0; g < s.gts(); ++g) gt[g] = &checked_at(gt_masks, s.gt[g]);
    mask_matrix(core, dt, gt, crowd, out);
}

std::vector<std::uint8_t> crowd_flags(const EvaluatorCore& core, const ImageSimilarity& s) {
    std::vector<std::uint8_t> crowd(s.gts());
    for (std::size_t g = 0; g < s.gts(); ++g) crowd[g] = checked_at(core.gt.iscrowd, s.gt[g]);
    return crowd;
}

// Decoded and compressed masks compare alike, in any mix.
void mask_similarities(const EvaluatorCore& core, ImageSimilarity& s) {
    std::vector<rle::Rle> dt_decoded, gt_decoded;
    const auto dt = select_masks(core.dt.geometry, s.ranked, dt_decoded);
    const auto gt = select_masks(core.gt.geometry, s.gt, gt_decoded);
    mask_matrix(core, dt, gt, crowd_flags(core, s), s.iou);
}

// Boundary IoU: the smaller of the mask IoU and the IoU of the boundary
// bands; against a crowd ground truth the mask IoU alone. Where the mask IoU
// is below the pruning threshold the smaller of the two is too, so the bands
// are compared only among the detections and non-crowd ground truths that
// have such a pair at or above it; the other values stay below every
// threshold, which is all that matching and the outputs depend on.
void boundary_similarities(const EvaluatorCore& core, const MaskBoundaryStore& gm, const MaskBoundaryStore& dm,
                           ImageSimilarity& s) {
    const std::vector<std::uint8_t> crowd = crowd_flags(core, s);
    mask_matrix(core, dm.masks, gm.masks, crowd, s, s.iou);
    const double t_min = pruning_threshold(core.params);
    const std::size_t D = s.dets(), G = s.gts();
    std::vector<std::uint32_t> dsel, gsel;
    std::vector<std::uint8_t> g_used(G, 0);
    for (std::size_t d = 0; d < D; ++d) {
        bool used = false;
        for (std::size_t g = 0; g < G; ++g)
            if (!crowd[g] && s.iou[d * G + g] >= t_min) used = g_used[g] = 1;
        if (used) dsel.push_back(static_cast<std::uint32_t>(d));
    }
    for (std::size_t g = 0; g < G; ++g)
        if (g_used[g]) gsel.push_back(static_cast<std::uint32_t>(g));
    if (dsel.empty()) return;
    std::vector<const rle::Rle*> dt(dsel.size()), gt(gsel.size());
    for (std::size_t i = 0; i < dsel.size(); ++i) dt[i] = &checked_at(dm.boundaries, s.ranked[dsel[i]]);
    for (std::size_t j = 0; j < gsel.size(); ++j) gt[j] = &checked_at(gm.boundaries, s.gt[gsel[j]]);
    // None of the selected ground truths is crowd.
    std::vector<double> band(dsel.size() * gsel.size(), 0.0);
    rle::mask_iou(dt, gt, {}, t_min, band);
    for (std::size_t i = 0; i < dsel.size(); ++i)
        for (std::size_t j = 0; j < gsel.size(); ++j) {
            double& v = s.iou[dsel[i] * G + gsel[j]];
            v = std::min(v, band[i * gsel.size() + j]);
        }
}

void compute_measure(const EvaluatorCore& core, ImageSimilarity& s) {
    if (is_box_store(core.gt.geometry) && is_box_store(core.dt.geometry)) return box_similarities(core, s);
    if (is_mask_store(core.gt.geometry) && is_mask_store(core.dt.geometry)) return mask_similarities(core, s);
    const auto* gb = std::get_if<MaskBoundaryStore>(&core.gt.geometry);
    const auto* db = std::get_if<MaskBoundaryStore>(&core.dt.geometry);
    if (gb && db) return boundary_similarities(core, *gb, *db, s);
    const auto* gk = std::get_if<KeypointStore>(&core.gt.geometry);
    const auto* dk = std::get_if<KeypointStore>(&core.dt.geometry);
    if (gk && dk) return keypoint_similarities(core, *gk, *dk, s);
    throw InternalError("ground truth and detection geometry kinds disagree");
}

}  // namespace

double keypoint_similarity(const double* xd, const double* xg, const std::uint8_t* vis, std::size_t n,
                           const double* vars, double area, const double* gbox, const VectorExp& exp) {
    // The exponents are formed in keypoint order into one buffer, exponentiated
    // in one call as the reference's array expression does, and summed as its
    // array sum does. Input and output buffers are distinct, as there.
    alignas(64) double small[2][32];
    std::vector<double> large;
    double* e = small[0];
    double* terms = small[1];
    if (n > 32) {
        large.resize(2 * n);
        e = large.data();
        terms = large.data() + n;
    }
    const double scale = area + kEpsilon;
    std::size_t visible = 0;
    for (std::size_t j = 0; j < n; ++j) visible += vis[j] != 0;
    std::size_t count = 0;
    if (visible > 0) {
        for (std::size_t j = 0; j < n; ++j) {
            if (!vis[j]) continue;
            double dx = xd[2 * j] - xg[2 * j];
            double dy = xd[2 * j + 1] - xg[2 * j + 1];
            e[count++] = (dx * dx + dy * dy) / vars[j] / scale * -0.5;
        }
    } else {
        // No visible keypoint: distance to the box enlarged by its own size on
        // every side. NaN propagates through the clamps as the reference's do.
        auto clamp0 = [](double v) { return std::isnan(v) ? v : (v > 0.0 ? v : 0.0); };
        double x0 = gbox[0] - gbox[2], x1 = (gbox[2] + gbox[2]) + gbox[0];
        double y0 = gbox[1] - gbox[3], y1 = (gbox[3] + gbox[3]) + gbox[1];
        for (std::size_t j = 0; j < n; ++j) {
            double x = xd[2 * j], y = xd[2 * j + 1];
            double dx = clamp0(x0 - x) + clamp0(x - x1);
            double dy = clamp0(y0 - y) + clamp0(y - y1);
            e[count++] = (dx * dx + dy * dy) / vars[j] / scale * -0.5;
        }
    }
    exp(e, terms, count);
    return pairwise_sum(terms, count) / static_cast<double>(count);
}

ImageSimilarity image_similarity(const EvaluatorCore& core, const ImagePair& pair) {
    ImageSimilarity s;
    s.image = pair.image;
    if (pair.has_gt)
        s.gt = std::span<const std::uint32_t>(core.gt_index.order).subspan(pair.gt_start, pair.gt_length);
    s.ranked = rank_detections(core, pair);
    if (s.dets() == 0 || s.gts() == 0) return s;
    s.iou.assign(s.dets() * s.gts(), 0.0);
    compute_measure(core, s);
    s.best.assign(s.dets(), -std::numeric_limits<double>::infinity());
    // A NaN value makes the row's best NaN, so matching never skips the row
    // without walking it: the walk, like the reference's, accepts a NaN.
    for (std::size_t d = 0; d < s.dets(); ++d)
        for (std::size_t g = 0; g < s.gts(); ++g) {
            double v = s.iou[d * s.gts() + g];
            if (std::isnan(v) || v > s.best[d]) s.best[d] = v;
        }
    return s;
}

std::vector<ImageSimilarity> category_similarities(const EvaluatorCore& core, std::uint32_t slot) {
    std::vector<ImagePair> pairs = pair_images(core.gt_index, core.dt_index, slot);
    std::vector<ImageSimilarity> out(pairs.size());
    parallel::parallel_for(pairs.size(), 64, [&](std::size_t i) { out[i] = image_similarity(core, pairs[i]); });
    return out;
}

}  // namespace brandor::eval
