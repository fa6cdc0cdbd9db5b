#include "core/rle/rasterise.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/error.hpp"
#include "core/rle/merge.hpp"

namespace brandor::rle {

namespace {

constexpr double kScale = 5;

// Truncation toward zero into signed 32 bits; NaN and values outside
// (-2^31 - 1, 2^31) become -2^31, which is what the toolkit's plain C cast
// yields on the processors it runs on.
inline int32_t cvt(double v) noexcept {
    if (!(v > -2147483649.0 && v < 2147483648.0)) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

struct Point {
    int64_t u, v;
};

// Consumes the upsampled outline point by point and records the crossings;
// only the previous point is kept.
class CrossingCollector {
public:
    CrossingCollector(uint32_t h, uint32_t w, std::vector<uint32_t>& bounds)
        : h_(h), hd_(static_cast<double>(h)),
          // w - 1 in unsigned 64 bits: w = 0 makes the bound 2^64 - 1.
          wmax_(static_cast<double>(static_cast<uint64_t>(w) - 1)), bounds_(bounds) {}

    void add(Point p) {
        if (have_prev_ && p.u != prev_.u) cross(prev_, p);
        prev_ = p;
        have_prev_ = true;
    }
    // Moves the previous point without looking at the step (used where no
    // step can record a crossing).
    void jump(Point p) {
        prev_ = p;
        have_prev_ = true;
    }

    // The step from q to p (p.u != q.u), recorded if it is a crossing.
    void cross(Point q, Point p) {
        const int64_t c = p.u > q.u ? p.u - 1 : p.u;
        if (((c % 5) + 5) % 5 != 2) return;
        // With c = 2 (mod 5), (c + 0.5) / 5 - 0.5 is the integer (c - 2) / 5
        // exactly, and (m + 0.5) / 5 - 0.5 for an integer m is never within
        // rounding of an integer it is not, so the clamp and ceiling below
        // are the floating-point ones done in integers.
        const int64_t xd = (c - 2) / 5;
        if (xd < 0 || static_cast<double>(xd) > wmax_) return;
        const int64_t q5 = std::min(p.v, q.v) - 2;
        int64_t yd;
        if (q5 < 0)
            yd = 0;
        else if (q5 > 5 * static_cast<int64_t>(h_))
            yd = h_;
        else
            yd = (q5 + 4) / 5;
        // The pixel index wraps in 32 bits, as in the toolkit; a row of 2^31
        // or more converts to -2^31 there.
        const uint32_t x = static_cast<uint32_t>(xd);
        const uint32_t y = yd < 2147483648LL ? static_cast<uint32_t>(yd) : 0x80000000u;
        bounds_.push_back(h_ * x + y);
    }

private:
    uint32_t h_;
    double hd_;
    double wmax_;
    std::vector<uint32_t>& bounds_;
    Point prev_{0, 0};
    bool have_prev_ = false;
};

// Edges longer than this are walked only where a crossing is possible.
constexpr int64_t kClipLength = 256;

// One edge between upsampled vertices. Point(t) for t = 0..n is the t-th
// point from the lower end (after the toolkit's swap); d = 0..n is the order
// in which points are produced.
struct Edge {
    bool along_x;  // dx >= dy: one point per column step
    bool flip;
    int64_t n;
    int64_t xs, ys;
    double s;

    Point at_t(int64_t t) const {
        if (along_x)
            return {t + xs, cvt(static_cast<double>(ys) + s * static_cast<double>(t) + 0.5)};
        return {cvt(static_cast<double>(xs) + s * static_cast<double>(t) + 0.5), t + ys};
    }
    Point at_d(int64_t d) const { return at_t(flip ? n - d : d); }
    int64_t u_at_t(int64_t t) const { return at_t(t).u; }
};

Edge make_edge(int64_t xs, int64_t ys, int64_t xe, int64_t ye) {
    // Differences in 64 bits: vertices can be 2^32 apart after clamping.
    const int64_t dx = xe > xs ? xe - xs : xs - xe;
    const int64_t dy = ye > ys ? ye - ys : ys - ye;
    Edge e{};
    e.along_x = dx >= dy;
    e.flip = e.along_x ? xs > xe : ys > ye;
    if (e.flip) {
        std::swap(xs, xe);
        std::swap(ys, ye);
    }
    e.xs = xs;
    e.ys = ys;
    if (e.along_x) {
        e.n = dx;
        e.s = static_cast<double>(ye - ys) / static_cast<double>(dx);  // 0/0 gives NaN
    } else {
        e.n = dy;
        e.s = static_cast<double>(xe - xs) / static_cast<double>(dy);
    }
    return e;
}

// Range [t1, t2] of t with u(t) in [lo, hi]; u is monotone in t (exactly
// linear along x, a rounded line along y). Empty when t1 > t2.
std::pair<int64_t, int64_t> t_range(const Edge& e, int64_t lo, int64_t hi) {
    const bool increasing = e.u_at_t(0) <= e.u_at_t(e.n);
    // First t whose u is past the lower side, last t not past the upper side.
    auto first_true = [&](auto pred) {
        int64_t a = 0, b = e.n + 1;  // pred false before a, true from b
        while (a < b) {
            const int64_t mid = a + (b - a) / 2;
            if (pred(mid))
                b = mid;
            else
                a = mid + 1;
        }
        return a;
    };
    if (increasing) {
        const int64_t t1 = first_true([&](int64_t t) { return e.u_at_t(t) >= lo; });
        const int64_t t2 = first_true([&](int64_t t) { return e.u_at_t(t) > hi; }) - 1;
        return {t1, t2};
    }
    const int64_t t1 = first_true([&](int64_t t) { return e.u_at_t(t) <= hi; });
    const int64_t t2 = first_true([&](int64_t t) { return e.u_at_t(t) < lo; }) - 1;
    return {t1, t2};
}

// Steps d in [first, last] of an edge along x: u moves by one column every
// step, so only every fifth step can land on a pixel-centre column; those are
// visited directly (c = u - 1 going right, c = u going left).
void cross_along_x(const Edge& e, CrossingCollector& out, int64_t first, int64_t last) {
    // c(d) = xs + d - 1 without flip, xs + n - d with it; want c = 2 (mod 5).
    const int64_t c_first = e.flip ? e.xs + e.n - first : e.xs + first - 1;
    const int64_t want = e.flip ? ((c_first - 2) % 5 + 5) % 5 : ((2 - c_first) % 5 + 5) % 5;
    for (int64_t d = first + want; d <= last; d += 5) out.cross(e.at_d(d - 1), e.at_d(d));
}

// Steps of an edge along y over point pairs (t, t + 1) for t in [t_lo, t_hi]:
// u moves by at most one column a step (|s| < 1) and monotonically, and a
// crossing depends only on the pair (c = the smaller column, the smaller
// row), so only the steps where u passes a column c = 2 (mod 5) are visited,
// found by bisection. The order crossings are recorded in does not matter:
// they are sorted.
void cross_along_y(const Edge& e, CrossingCollector& out, int64_t t_lo, int64_t t_hi, int64_t u_hi_bound) {
    const int64_t ua = e.u_at_t(t_lo), ub = e.u_at_t(t_hi + 1);
    if (ua == ub) return;
    const bool increasing = ua < ub;
    // Columns c crossed: from min(ua, ub) to max(ua, ub) - 1, kept to where
    // a crossing can be recorded.
    int64_t c = std::max<int64_t>(std::min(ua, ub), 2);
    const int64_t c_end = std::min<int64_t>(std::max(ua, ub) - 1, u_hi_bound);
    c += ((2 - c) % 5 + 5) % 5;
    for (; c <= c_end; c += 5) {
        // First t with u(t) past the boundary between columns c and c + 1:
        // start at the line's own estimate, then correct it by evaluating u,
        // which is exact because u is monotone.
        auto past = [&](int64_t t) {
            const int64_t u = e.u_at_t(t);
            return increasing ? u > c : u <= c;
        };
        const double guess = std::ceil((static_cast<double>(c) + 0.5 - static_cast<double>(e.xs)) / e.s);
        int64_t a = t_lo + 1;
        if (guess > static_cast<double>(t_lo + 1)) a = guess < static_cast<double>(t_hi + 1) ? static_cast<int64_t>(guess) : t_hi + 1;
        while (a > t_lo + 1 && past(a - 1)) --a;
        while (!past(a)) ++a;
        out.cross(e.at_t(a - 1), e.at_t(a));
    }
}

void walk_edge(const Edge& e, CrossingCollector& out, int64_t u_lo, int64_t u_hi) {
    out.add(e.at_d(0));
    if (e.n == 0) return;
    int64_t first = 1, last = e.n;
    if (e.n > kClipLength) {
        // A step can record a crossing only when both of its points lie in
        // [u_lo, u_hi]; the points in between are skipped, which changes
        // nothing but the time a far-off outline takes.
        auto [t1, t2] = t_range(e, u_lo, u_hi);
        if (t1 > t2) {
            out.jump(e.at_d(e.n));
            return;
        }
        const int64_t e1 = e.flip ? e.n - t2 : t1;
        const int64_t e2 = e.flip ? e.n - t1 : t2;
        first = std::max<int64_t>(1, e1 + 1);
        last = e2;
    }
    if (e.along_x) {
        cross_along_x(e, out, first, last);
    } else if (first <= last) {
        // Step d joins the points d - 1 and d, that is t = d - 1 and d, or
        // with the flip t = n - d and n - d + 1.
        const int64_t t_lo = e.flip ? e.n - last : first - 1;
        const int64_t t_hi = e.flip ? e.n - first : last - 1;
        cross_along_y(e, out, t_lo, t_hi, u_hi);
    }
    out.jump(e.at_d(e.n));
}

// Ascending unsigned order in four 8-bit passes (stable counting sorts).
void radix_sort(std::vector<uint32_t>& values, std::vector<uint32_t>& tmp) {
    tmp.resize(values.size());
    for (int shift = 0; shift < 32; shift += 8) {
        std::size_t count[257] = {};
        for (const uint32_t v : values) ++count[((v >> shift) & 0xFF) + 1];
        if (count[1] == values.size()) continue;  // all in one bucket: nothing moves
        for (int b = 0; b < 256; ++b) count[b + 1] += count[b];
        for (const uint32_t v : values) tmp[count[(v >> shift) & 0xFF]++] = v;
        values.swap(tmp);
    }
}

}  // namespace

Rle rasterise_polygon(std::span<const double> xy, uint32_t h, uint32_t w, RasterScratch& scratch) {
    const std::size_t k = xy.size() / 2;
    if (k == 0) return Rle{h, w, {pixel_count_u32(h, w)}};
    auto& vx = scratch.vx;
    auto& vy = scratch.vy;
    vx.resize(k + 1);
    vy.resize(k + 1);
    for (std::size_t j = 0; j < k; ++j) {
        vx[j] = cvt(kScale * xy[2 * j] + 0.5);
        vy[j] = cvt(kScale * xy[2 * j + 1] + 0.5);
    }
    vx[k] = vx[0];
    vy[k] = vy[0];

    auto& bounds = scratch.bounds;
    bounds.clear();
    CrossingCollector collector(h, w, bounds);
    // Columns a crossing step can touch: c in [2, 5w - 3] means both points
    // of the step in [2, 5w - 2]; the range below is a little wider.
    const int64_t u_lo = 1;
    const int64_t u_hi = w == 0 ? std::numeric_limits<int64_t>::max() : 5 * static_cast<int64_t>(w);
    for (std::size_t j = 0; j < k; ++j) {
        const Edge e = make_edge(vx[j], vy[j], vx[j + 1], vy[j + 1]);
        walk_edge(e, collector, u_lo, u_hi);
    }

    bounds.push_back(pixel_count_u32(h, w));
    if (bounds.size() <= 20) {
        for (std::size_t i = 1; i < bounds.size(); ++i) {
            const uint32_t v = bounds[i];
            std::size_t j = i;
            for (; j > 0 && bounds[j - 1] > v; --j) bounds[j] = bounds[j - 1];
            bounds[j] = v;
        }
    } else {
        radix_sort(bounds, scratch.sorted);
    }
    for (std::size_t i = bounds.size() - 1; i > 0; --i) bounds[i] -= bounds[i - 1];  // wraps

    // Two crossings at one pixel cancel: drop the empty run together with
    // the run after it by adding that run to the one before.
    Rle r{h, w, {}};
    r.counts.reserve(bounds.size());
    r.counts.push_back(bounds[0]);
    const std::size_t n = bounds.size();
    for (std::size_t j = 1; j < n;) {
        if (bounds[j] > 0) {
            r.counts.push_back(bounds[j]);
            ++j;
        } else {
            ++j;
            if (j < n) {
                r.counts.back() += bounds[j];
                ++j;
            }
        }
    }
    r.counts.shrink_to_fit();
    return r;
}

Rle rasterise_box(const Box& b, uint32_t h, uint32_t w, RasterScratch& scratch) {
    const double x = b[0], y = b[1];
    const double xy[8] = {x, y, x, y + b[3], x + b[2], y + b[3], x + b[2], y};
    return rasterise_polygon(xy, h, w, scratch);
}

Rle rasterise_polygon_set(std::span<const double> xy, std::span<const uint32_t> ends, uint32_t h,
                          uint32_t w, RasterScratch& scratch) {
    uint32_t prev = 0;
    for (const uint32_t e : ends) {
        if (e < prev || e > xy.size())
            throw InternalError("polygon end offsets go backwards or past the coordinates");
        prev = e;
    }
    if (ends.empty()) return Rle{};
    if (ends.size() == 1) return rasterise_polygon(xy, h, w, scratch);
    auto& rings = scratch.rings;
    rings.clear();
    uint32_t start = 0;
    for (const uint32_t e : ends) {
        rings.push_back(rasterise_polygon(xy.subspan(start, e - start), h, w, scratch));
        start = e;
    }
    return merge(rings, false);
}

}  // namespace brandor::rle
