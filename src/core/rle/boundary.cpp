#include "core/rle/boundary.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "core/rle/rle.hpp"

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

// The columns x0..x1 and rows y0..y1 that hold the mask's 1s, read from its
// runs (cut at h*w, as expand cuts them); false when it has none. A run of 1s
// that crosses into another column makes the window as tall as the image.
struct Window {
    uint64_t x0, x1, y0, y1;
};

bool foreground_window(const Rle& mask, Window& win) {
    const uint64_t h = mask.h, n = pixel_count(mask.h, mask.w);
    win = {UINT64_MAX, 0, UINT64_MAX, 0};
    uint64_t pos = 0;
    for (std::size_t i = 0; i < mask.counts.size() && pos < n; ++i) {
        const uint64_t len = std::min<uint64_t>(mask.counts[i], n - pos);
        if ((i & 1) && len) {
            const uint64_t first = pos, last = pos + len - 1;
            win.x0 = std::min(win.x0, first / h);
            win.x1 = std::max(win.x1, last / h);
            const bool one_column = first / h == last / h;
            win.y0 = std::min(win.y0, one_column ? first % h : 0);
            win.y1 = std::max(win.y1, one_column ? last % h : h - 1);
        }
        pos += len;
    }
    return win.x0 != UINT64_MAX;
}

// Appends pixels to a run list as run_encode counts them: runs start with 0s
// and are counted in 32 bits, wrapping as the COCO toolkit's counter does.
class RunWriter {
public:
    explicit RunWriter(std::vector<uint32_t>& counts) : counts_(counts) {}
    void add(uint8_t value, uint64_t length) {
        if (!length) return;
        if (value != value_) {
            counts_.push_back(run_);
            run_ = 0;
            value_ = value;
        }
        run_ += static_cast<uint32_t>(length);
    }
    void finish() { counts_.push_back(run_); }

private:
    std::vector<uint32_t>& counts_;
    uint8_t value_ = 0;
    uint32_t run_ = 0;
};

}  // namespace

Rle boundary(const Rle& mask, double ratio) {
    const uint32_t h = mask.h, w = mask.w;
    if (h == 0 || w == 0) return mask;
    int64_t passes = erosion_passes(h, w, ratio);
    checked_mul(h, w);  // an image whose pixels could not be addressed is refused

    // Pixels outside the 1s' rows and columns are 0 and so is their erosion:
    // the erosion is computed on that window alone, framed by zeros, which
    // gives the same pixels as eroding the whole image, and the image itself
    // is never expanded (a small object in a huge image costs its window).
    Window win;
    Rle out{h, w, {}};
    RunWriter writer(out.counts);
    if (!foreground_window(mask, win)) {  // no 1s: no boundary
        writer.add(0, pixel_count(h, w));
        writer.finish();
        return out;
    }
    const std::size_t x0 = win.x0, x1 = win.x1, y0 = win.y0, y1 = win.y1;
    const std::size_t sh = y1 - y0 + 1, sw = x1 - x0 + 1;
    // Each pass clears at least the outermost ring of what is left, so after
    // ceil(min / 2) passes the erosion is empty and more change nothing;
    // stopping there keeps huge ratios from taking forever.
    passes = std::min<int64_t>(passes, static_cast<int64_t>((std::min(sh, sw) + 1) / 2 + 1));
    const std::size_t H = sh + 2, W = sw + 2;
    const std::size_t bordered = checked_mul(H, W);
    std::vector<uint8_t> src(bordered, 0), dst(bordered, 0), rows(bordered, 0);
    // The mask's 1s, written into the window straight from the runs.
    const uint64_t n = pixel_count(h, w);
    uint64_t pos = 0;
    for (std::size_t i = 0; i < mask.counts.size() && pos < n; ++i) {
        const uint64_t len = std::min<uint64_t>(mask.counts[i], n - pos);
        for (uint64_t at = pos, end = pos + len; (i & 1) && at < end;) {
            const uint64_t x = at / h, y = at % h;
            const uint64_t piece = std::min<uint64_t>(end - at, h - y);  // to the column's end
            std::memset(src.data() + (x - x0 + 1) * H + (y - y0 + 1), 1, piece);
            at += piece;
        }
        pos += len;
    }
    const std::vector<uint8_t> original = src;

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

    // The mask pixels outside the erosion, as runs over the whole image: 0s
    // up to the window, its columns framed by 0s, and 0s after it.
    writer.add(0, uint64_t{x0} * h);
    for (std::size_t x = 1; x <= sw; ++x) {
        const uint8_t* in = original.data() + x * H + 1;
        const uint8_t* er = src.data() + x * H + 1;
        writer.add(0, y0);
        for (std::size_t y = 0; y < sh; ++y) writer.add(in[y] & (er[y] ^ 1), 1);
        writer.add(0, h - 1 - y1);
    }
    writer.add(0, uint64_t{w - 1 - x1} * h);
    writer.finish();
    out.counts.shrink_to_fit();
    return out;
}

}  // namespace brandor::rle
