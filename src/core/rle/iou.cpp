#include "core/rle/iou.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/error.hpp"
#include "core/rle/intervals.hpp"
#include "core/rle/measure.hpp"
#include "core/rle/run_walk.hpp"

namespace brandor::rle {

void box_iou(std::span<const Box> dt, std::span<const Box> gt, std::span<const uint8_t> crowd,
             std::span<double> out) {
    const std::size_t m = dt.size(), n = gt.size();
    if (out.size() != m * n) throw InternalError("box_iou: output size mismatch");
    for (std::size_t d = 0; d < m; ++d)
        for (std::size_t g = 0; g < n; ++g) out[d * n + g] = box_iou(dt[d], gt[g], is_crowd(crowd, g));
}

Overlap overlap(const Rle& A, const Rle& B) noexcept {
    RunCursor a(A.counts), b(B.counts);
    uint32_t I = 0, U = 0;  // wrap, as in the toolkit
    for (;;) {
        const uint32_t c = joint_step(a, b);
        if (a.value() | b.value()) {
            U += c;
            if (a.value() & b.value()) I += c;
        }
        a.advance(c);
        b.advance(c);
        if (static_cast<uint32_t>(a.left() + b.left()) == 0) break;
    }
    return {I, U};
}

namespace {

// For well-formed masks (see OnesIntervals) the toolkit's walk counts exactly
// the shared pixels and the union is area_d + area_g - I, so the
// intersection can be taken over the intervals within the two bounding
// boxes' common columns only.
OnesIntervals ones_intervals(const Rle& r) {
    OnesIntervals out;
    ones_intervals(r.counts, pixel_count(r.h, r.w), out);
    return out;
}

// Shared pixels of two interval lists within pixel positions [lo, hi).
uint32_t shared_pixels(const OnesIntervals& a, const OnesIntervals& b, uint32_t lo, uint32_t hi) {
    std::size_t i = std::upper_bound(a.end.begin(), a.end.end(), lo) - a.end.begin();
    std::size_t j = std::upper_bound(b.end.begin(), b.end.end(), lo) - b.end.begin();
    uint32_t shared = 0;
    // Without branches on which interval ends first: in fragmented masks
    // that is as good as random. Positions are below 2^31, so the overlap is
    // taken in signed 64-bit arithmetic and clamped at 0.
    while (i < a.begin.size() && j < b.begin.size() && a.begin[i] < hi && b.begin[j] < hi) {
        const int64_t from = std::max(a.begin[i], b.begin[j]);
        const int64_t to = std::min(a.end[i], b.end[j]);
        shared += static_cast<uint32_t>(std::max<int64_t>(to - from, 0));
        const bool a_first = a.end[i] < b.end[j];
        i += a_first;
        j += !a_first;
    }
    return shared;
}

template <class GetD, class GetG>
void mask_iou_impl(std::size_t m, std::size_t n, GetD dt, GetG gt, std::span<const uint8_t> crowd,
                   double t_min, std::span<double> out) {
    if (out.size() != m * n) throw InternalError("mask_iou: output size mismatch");
    std::vector<Box> dbox(m), gbox(n);
    std::vector<double> darea(m), garea(n);
    for (std::size_t d = 0; d < m; ++d) {
        dbox[d] = bbox(dt(d));
        darea[d] = area(dt(d));
    }
    for (std::size_t g = 0; g < n; ++g) {
        gbox[g] = bbox(gt(g));
        garea[g] = area(gt(g));
    }
    box_iou(dbox, gbox, crowd, out);
    std::vector<OnesIntervals> dones(m), gones(n);
    for (std::size_t d = 0; d < m; ++d) dones[d] = ones_intervals(dt(d));
    for (std::size_t g = 0; g < n; ++g) gones[g] = ones_intervals(gt(g));
    for (std::size_t g = 0; g < n; ++g) {
        const Rle& G = gt(g);
        const bool is_c = is_crowd(crowd, g);
        for (std::size_t d = 0; d < m; ++d) {
            double& o = out[d * n + g];
            if (!(o > 0)) continue;
            const Rle& D = dt(d);
            if (D.h != G.h || D.w != G.w) {
                o = -1;
                continue;
            }
            if (D.counts.empty() || G.counts.empty()) {
                o = 0;
                continue;
            }
            if (t_min > 0) {
                const Box& a = dbox[d];
                const Box& b = gbox[g];
                const double iw = std::max(0.0, std::min(a[0] + a[2], b[0] + b[2]) - std::max(a[0], b[0]));
                const double ih = std::max(0.0, std::min(a[1] + a[3], b[1] + b[3]) - std::max(a[1], b[1]));
                const double bound = std::min(std::min(darea[d], garea[g]), iw * ih);
                const double den = is_c ? darea[d] : darea[d] + garea[g] - bound;
                if (den > 0 && t_min > bound / den) {
                    o = 0;
                    continue;
                }
            }
            Overlap ov;
            if (dones[d].exact && gones[g].exact) {
                // Only the columns both bounding boxes cover can hold shared pixels.
                const Box& a = dbox[d];
                const Box& b = gbox[g];
                const auto x0 = static_cast<uint32_t>(std::max(a[0], b[0]));
                const auto x1 = static_cast<uint32_t>(std::min(a[0] + a[2], b[0] + b[2]));
                const uint32_t I = shared_pixels(dones[d], gones[g], x0 * D.h, x1 * D.h);
                ov = {I, static_cast<uint32_t>(darea[d] + garea[g]) - I};
            } else {
                ov = overlap(D, G);
            }
            double den;
            if (ov.intersection == 0)
                den = 1;
            else if (is_c)
                den = darea[d];
            else
                den = ov.union_;
            o = static_cast<double>(ov.intersection) / den;
        }
    }
}

}  // namespace

void mask_iou(std::span<const Rle> dt, std::span<const Rle> gt, std::span<const uint8_t> crowd,
              double t_min, std::span<double> out) {
    auto get_d = [&](std::size_t i) -> const Rle& { return dt[i]; };
    auto get_g = [&](std::size_t i) -> const Rle& { return gt[i]; };
    mask_iou_impl(dt.size(), gt.size(), get_d, get_g, crowd, t_min, out);
}

void mask_iou(std::span<const Rle* const> dt, std::span<const Rle* const> gt,
              std::span<const uint8_t> crowd, double t_min, std::span<double> out) {
    auto get_d = [&](std::size_t i) -> const Rle& { return *dt[i]; };
    auto get_g = [&](std::size_t i) -> const Rle& { return *gt[i]; };
    mask_iou_impl(dt.size(), gt.size(), get_d, get_g, crowd, t_min, out);
}

}  // namespace brandor::rle
