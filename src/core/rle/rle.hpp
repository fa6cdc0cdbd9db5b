// The run-length mask: a binary image of h rows and w columns held as the
// lengths of alternating runs of 0s and 1s, read column by column and
// starting with a (possibly empty) run of 0s. Pixel (row y, column x) is
// linear index x*h + y.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace brandor::rle {

struct Rle {
    uint32_t h = 0;
    uint32_t w = 0;
    // Even positions are runs of 0s, odd positions runs of 1s. Nothing here
    // checks that they add up to h*w; every operation says what it does when
    // they do not.
    std::vector<uint32_t> counts;

    friend bool operator==(const Rle&, const Rle&) = default;
};

// A box as [x, y, width, height] in pixels (left, top; no +1 convention).
using Box = std::array<double, 4>;

// h*w as the 64-bit pixel count of a mask (never wraps).
constexpr uint64_t pixel_count(uint32_t h, uint32_t w) noexcept {
    return static_cast<uint64_t>(h) * static_cast<uint64_t>(w);
}

// h*w in unsigned 32-bit arithmetic, wrapping as the COCO toolkit does where
// a single run covers the whole image.
constexpr uint32_t pixel_count_u32(uint32_t h, uint32_t w) noexcept {
    return h * w;
}

}  // namespace brandor::rle
