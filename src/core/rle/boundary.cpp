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

namespace {

// The rows and columns that hold the mask's 1 pixels (runs past h*w cut off).
struct Window {
    uint64_t x0, x1, y0, y1;  // inclusive
    bool empty() const { return x0 > x1; }
};

Window ones_window(const Rle& mask) {
    const uint64_t h = mask.h, n = pixel_count(mask.h, mask.w);
    Window win{mask.w, 0, mask.h, 0};
    uint64_t pos = 0;
    for (std::size_t i = 0; i < mask.counts.size() && pos < n; ++i) {
        const uint64_t c = mask.counts[i];
        if (i % 2 == 1 && c > 0) {
            const uint64_t first = pos, last = std::min(pos + c, n) - 1;
            const uint64_t xa = first / h, xb = last / h;
            win.x0 = std::min(win.x0, xa);
            win.x1 = std::max(win.x1, xb);
            // A run that crosses a column boundary covers whole rows.
            win.y0 = std::min(win.y0, xa < xb ? 0 : first % h);
            win.y1 = std::max(win.y1, xa < xb ? h - 1 : last % h);
        }
        pos += c;
    }
    return win;
}

}  // namespace

Rle boundary(const Rle& mask, double ratio) {
    const uint32_t h = mask.h, w = mask.w;
    if (h == 0 || w == 0) return mask;
    int64_t passes = erosion_passes(h, w, ratio);
    const uint64_t n = pixel_count(h, w);

    // Pixels outside the 1s' rows and columns are 0 and so is their erosion:
    // the erosion is computed on that window alone, framed by zeros, which
    // gives the same pixels as eroding the whole image (the image border is a
    // frame of zeros too).
    const Window win = ones_window(mask);
    Rle out{h, w, {}};
    if (win.empty()) {
        // No 1s: no boundary, one run of 0s (its length wraps in 32 bits).
        out.counts.push_back(static_cast<uint32_t>(n));
        return out;
    }
    const std::size_t sh = win.y1 - win.y0 + 1, sw = win.x1 - win.x0 + 1;
    // Each pass clears at least the outermost ring of what is left, so after
    // ceil(min / 2) passes the erosion is empty and more change nothing;
    // stopping there keeps huge ratios from taking forever.
    passes = std::min<int64_t>(passes, static_cast<int64_t>((std::min(sh, sw) + 1) / 2 + 1));
    const std::size_t H = sh + 2, W = sw + 2;
    const std::size_t bordered = checked_mul(H, W);
    // The window of the mask, bordered by zeros: column x, row y of the
    // window at (x + 1) * H + y + 1.
    std::vector<uint8_t> pixels(bordered, 0);
    uint64_t pos = 0;
    for (std::size_t i = 0; i < mask.counts.size() && pos < n; ++i) {
        const uint64_t c = mask.counts[i];
        if (i % 2 == 1 && c > 0) {
            const uint64_t end = std::min(pos + c, n);
            for (uint64_t p = pos; p < end;) {
                const uint64_t x = p / h, y = p % h;
                const uint64_t stop = std::min(end, (x + 1) * h);  // within this column
                std::memset(pixels.data() + (x - win.x0 + 1) * H + (y - win.y0 + 1), 1, stop - p);
                p = stop;
            }
        }
        pos += c;
    }

    std::vector<uint8_t> src = pixels, dst(bordered, 0), rows(bordered, 0);
    for (int64_t p = 0; p < passes; ++p) {
        // The 3x3 square as three rows, then three columns (bytes are 0/1,
        // so AND is "all nonzero"); the frame of zeros stays as it is.
        for (std::size_t x = 1; x <= sw; ++x) {
            const uint8_t* in = src.data() + x * H;
            uint8_t* o = rows.data() + x * H;
            for (std::size_t y = 1; y <= sh; ++y) o[y] = in[y - 1] & in[y] & in[y + 1];
        }
        uint8_t any = 0;
        for (std::size_t x = 1; x <= sw; ++x) {
            const uint8_t* left = rows.data() + (x - 1) * H;
            const uint8_t* mid = left + H;
            const uint8_t* right = mid + H;
            uint8_t* o = dst.data() + x * H;
            for (std::size_t y = 1; y <= sh; ++y) {
                o[y] = left[y] & mid[y] & right[y];
                any |= o[y];
            }
        }
        // The old input becomes the next output: its interior is overwritten
        // whole and its frame was never written, so it needs no clearing.
        std::swap(src, dst);
        if (!any) break;  // an empty erosion stays empty
    }

    // The mask pixels outside the erosion, run-encoded column by column of
    // the window; everything outside the window is 0.
    RunWriter writer(out.counts);
    for (std::size_t x = 0; x < sw; ++x) {
        uint8_t* col = pixels.data() + (x + 1) * H + 1;
        const uint8_t* er = src.data() + (x + 1) * H + 1;
        for (std::size_t y = 0; y < sh; ++y) col[y] = static_cast<uint8_t>(col[y] & ~er[y]);
        writer.append((win.x0 + x) * h + win.y0, std::span<const uint8_t>(col, sh));
    }
    writer.finish(n);
    out.counts.shrink_to_fit();
    return out;
}

}  // namespace brandor::rle
