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
    uint32_t xs = r.w, ys = h, xe = 0, ye = 0, cc = 0, xp = 0;
    for (std::size_t j = 0; j < m; ++j) {
        cc += r.counts[j];
        // First pixel of a run of 1s (even j) or its last pixel (odd j).
        const uint32_t t = cc - static_cast<uint32_t>(j % 2);
        const uint32_t y = t % h, x = t / h;
        if (j % 2 == 0) {
            xp = x;
        } else if (xp < x) {
            // The run crosses a column boundary: it covers whole rows.
            ys = 0;
            ye = h - 1;
        }
        xs = std::min(xs, x);
        xe = std::max(xe, x);
        ys = std::min(ys, y);
        ye = std::max(ye, y);
    }
    return {static_cast<double>(xs), static_cast<double>(ys),
            static_cast<double>(static_cast<uint32_t>(xe + 1 - xs)),
            static_cast<double>(static_cast<uint32_t>(ye + 1 - ys))};
}

}  // namespace brandor::rle
