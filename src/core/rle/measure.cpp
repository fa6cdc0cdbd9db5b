#include "core/rle/measure.hpp"

#include <algorithm>

namespace brandor::rle {

uint32_t area(const Rle& r) noexcept {
    uint32_t a = 0;  // wraps on purpose
    for (std::size_t i = 1; i < r.counts.size(); i += 2) a += r.counts[i];
    return a;
}

Box bbox(const Rle& r) noexcept {
    const std::size_t m = r.counts.size() & ~std::size_t{1};
    if (m == 0) return {0, 0, 0, 0};
    const uint32_t h = r.h;
    if (h == 0) return {0, 0, 1, 1};
    // Unsigned 32-bit throughout, like the toolkit: positions past 2^32 wrap.
    uint32_t xs = r.w, ys = h, xe = 0, ye = 0, cc = 0;
    for (std::size_t j = 0; j < m; j += 2) {
        cc += r.counts[j];
        const uint32_t ones = r.counts[j + 1];
        // An empty run of 1s holds no pixel and does not widen the box (the
        // toolkit skips it too; with no run left the box wraps as there).
        if (ones == 0) continue;
        // First and last pixel of the run of 1s.
        const uint32_t first = cc;
        cc += ones;
        const uint32_t last = cc - 1;
        const uint32_t y0 = first % h, x0 = first / h;
        const uint32_t y1 = last % h, x1 = last / h;
        if (x0 < x1) {
            // The run crosses a column boundary: it covers whole rows.
            ys = 0;
            ye = h - 1;
        }
        xs = std::min({xs, x0, x1});
        xe = std::max({xe, x0, x1});
        ys = std::min({ys, y0, y1});
        ye = std::max({ye, y0, y1});
    }
    return {static_cast<double>(xs), static_cast<double>(ys),
            static_cast<double>(static_cast<uint32_t>(xe + 1 - xs)),
            static_cast<double>(static_cast<uint32_t>(ye + 1 - ys))};
}

}  // namespace brandor::rle
