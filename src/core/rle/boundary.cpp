#include "core/rle/boundary.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "core/rle/run_encode.hpp"

namespace brandor::rle {

int64_t erosion_passes(uint32_t h, uint32_t w, double ratio) noexcept {
    const uint64_t sq = static_cast<uint64_t>(h) * h + static_cast<uint64_t>(w) * w;
    // Halves go to the even neighbour, as Python's round() in the published
    // Boundary IoU code does: a 500 x 375 image at 0.02 erodes 12 times, not 13.
    const double x = ratio * std::sqrt(static_cast<double>(sq));
    double d = std::round(x);
    if (std::fabs(x - std::trunc(x)) == 0.5) d = 2.0 * std::round(x * 0.5);
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
    // Sizes no vector can hold are an allocation failure (MemoryError), not
    // a length error.
    std::size_t r;
    if (__builtin_mul_overflow(a, b, &r) || r > static_cast<std::size_t>(PTRDIFF_MAX)) throw std::bad_alloc();
    return r;
}

}  // namespace

Rle boundary(const Rle& mask, double ratio) {
    const uint32_t h = mask.h, w = mask.w;
    if (h == 0 || w == 0) return mask;
    int64_t passes = erosion_passes(h, w, ratio);

    const std::size_t n = checked_mul(h, w);
    std::vector<uint8_t> pixels(n);
    expand(mask, pixels);  // 0/1 bytes

    // Pixels outside the 1s' rows and columns are 0 and so is their erosion:
    // the erosion is computed on that window alone, framed by zeros, which
    // gives the same pixels as eroding the whole image.
    std::size_t x0 = w, x1 = 0, y0 = h, y1 = 0;
    for (std::size_t x = 0; x < w; ++x) {
        const uint8_t* col = pixels.data() + x * h;
        const void* first = std::memchr(col, 1, h);
        if (!first) continue;
        const auto* last = static_cast<const uint8_t*>(memrchr(col, 1, h));
        x0 = std::min(x0, x);
        x1 = x;
        y0 = std::min<std::size_t>(y0, static_cast<const uint8_t*>(first) - col);
        y1 = std::max<std::size_t>(y1, last - col);
    }
    if (x0 > x1) return run_encode(pixels, h, w);  // no 1s: no boundary

    const std::size_t sh = y1 - y0 + 1, sw = x1 - x0 + 1;
    // Each pass clears at least the outermost ring of what is left, so after
    // ceil(min / 2) passes the erosion is empty and more change nothing;
    // stopping there keeps huge ratios from taking forever.
    passes = std::min<int64_t>(passes, static_cast<int64_t>((std::min(sh, sw) + 1) / 2 + 1));
    const std::size_t H = sh + 2, W = sw + 2;
    const std::size_t bordered = checked_mul(H, W);
    std::vector<uint8_t> src(bordered, 0), dst(bordered, 0), rows(bordered, 0);
    for (std::size_t x = 0; x < sw; ++x)
        std::memcpy(src.data() + (x + 1) * H + 1, pixels.data() + (x0 + x) * h + y0, sh);

    for (int64_t p = 0; p < passes; ++p) {
        // The 3x3 square as three rows, then three columns (bytes are 0/1,
        // so AND is "all nonzero"); the frame of zeros stays as it is.
        for (std::size_t x = 1; x <= sw; ++x) {
            const uint8_t* in = src.data() + x * H;
            uint8_t* out = rows.data() + x * H;
            for (std::size_t y = 1; y <= sh; ++y) out[y] = in[y - 1] & in[y] & in[y + 1];
        }
        uint8_t any = 0;
        for (std::size_t x = 1; x <= sw; ++x) {
            const uint8_t* left = rows.data() + (x - 1) * H;
            const uint8_t* mid = left + H;
            const uint8_t* right = mid + H;
            uint8_t* out = dst.data() + x * H;
            for (std::size_t y = 1; y <= sh; ++y) {
                out[y] = left[y] & mid[y] & right[y];
                any |= out[y];
            }
        }
        // The old input becomes the next output: its interior is overwritten
        // whole and its frame was never written, so it needs no clearing.
        std::swap(src, dst);
        if (!any) break;  // an empty erosion stays empty
    }

    // Saturating subtraction: the mask pixels outside the erosion.
    for (std::size_t x = 0; x < sw; ++x) {
        uint8_t* col = pixels.data() + (x0 + x) * h + y0;
        const uint8_t* er = src.data() + (x + 1) * H + 1;
        for (std::size_t y = 0; y < sh; ++y) col[y] = col[y] >= er[y] ? col[y] - er[y] : 0;
    }
    return run_encode(pixels, h, w);
}

}  // namespace brandor::rle
