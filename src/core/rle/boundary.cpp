#include "core/rle/boundary.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <vector>

#include "core/rle/run_encode.hpp"

namespace brandor::rle {

int64_t erosion_passes(uint32_t h, uint32_t w, double ratio) noexcept {
    const uint64_t sq = static_cast<uint64_t>(h) * h + static_cast<uint64_t>(w) * w;
    const double d = std::round(ratio * std::sqrt(static_cast<double>(sq)));  // halves away from 0
    int64_t n;
    if (std::isnan(d))
        n = 0;
    else if (d >= 9223372036854775807.0)
        n = std::numeric_limits<int64_t>::max();
    else if (d <= -9223372036854775808.0)
        n = std::numeric_limits<int64_t>::min();
    else
        n = static_cast<int64_t>(d);
    return std::max<int64_t>(n, 1);
}

namespace {

std::size_t checked_mul(std::size_t a, std::size_t b) {
    std::size_t r;
    if (__builtin_mul_overflow(a, b, &r)) throw std::bad_alloc();
    return r;
}

}  // namespace

Rle boundary(const Rle& mask, double ratio) {
    const uint32_t h = mask.h, w = mask.w;
    if (h == 0 || w == 0) return mask;
    int64_t passes = erosion_passes(h, w, ratio);
    // Each pass clears at least the outermost ring of what is left, so after
    // ceil(min(h, w) / 2) passes the erosion is empty and further passes
    // change nothing; stopping there keeps huge ratios from taking forever.
    const int64_t enough = (static_cast<int64_t>(std::min(h, w)) + 1) / 2 + 1;
    passes = std::min(passes, enough);

    const std::size_t n = checked_mul(h, w);
    const std::size_t H = static_cast<std::size_t>(h) + 2, W = static_cast<std::size_t>(w) + 2;
    const std::size_t bordered = checked_mul(H, W);
    std::vector<uint8_t> pixels(n);
    expand(mask, pixels);
    std::vector<uint8_t> src(bordered, 0), dst(bordered, 0);
    for (std::size_t x = 0; x < w; ++x)
        std::copy_n(pixels.data() + x * h, h, src.data() + (x + 1) * H + 1);

    for (int64_t p = 0; p < passes; ++p) {
        bool any = false;
        for (std::size_t x = 1; x <= w; ++x) {
            const uint8_t* left = src.data() + (x - 1) * H;
            const uint8_t* mid = left + H;
            const uint8_t* right = mid + H;
            uint8_t* out = dst.data() + x * H;
            for (std::size_t y = 1; y <= h; ++y) {
                const bool all = left[y - 1] && left[y] && left[y + 1] && mid[y - 1] && mid[y] &&
                                 mid[y + 1] && right[y - 1] && right[y] && right[y + 1];
                out[y] = all;
                any |= all;
            }
        }
        // The old input becomes the next output: its interior is overwritten
        // whole and its ring was never written, so it needs no clearing.
        std::swap(src, dst);
        if (!any) break;  // an empty erosion stays empty
    }

    // Saturating subtraction: the mask pixels outside the erosion.
    for (std::size_t x = 0; x < w; ++x) {
        uint8_t* col = pixels.data() + x * h;
        const uint8_t* er = src.data() + (x + 1) * H + 1;
        for (std::size_t y = 0; y < h; ++y) col[y] = col[y] >= er[y] ? col[y] - er[y] : 0;
    }
    return run_encode(pixels, h, w);
}

}  // namespace brandor::rle
