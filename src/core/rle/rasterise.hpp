// Rasterisation of polygons and boxes into run-length masks, run for run as
// the COCO toolkit does it: vertices upsampled by 5 in fixed point and
// truncated, edges walked point by point, and a crossing kept wherever the
// outline passes a pixel centre column inside the image. No input is
// rejected: NaN, huge or repeated vertices all give some mask.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/rle/rle.hpp"

namespace brandor::rle {

// Work buffers reused across calls so that rasterising many polygons only
// allocates the results. One scratch belongs to one thread at a time.
struct RasterScratch {
    std::vector<int32_t> vx, vy;     // upsampled vertex columns and rows
    std::vector<uint32_t> bounds;    // pixel positions where the mask changes value
    std::vector<uint32_t> sorted;    // radix-sort buffer for the positions
    std::vector<Rle> rings;          // per-polygon masks of a polygon set
};

// One polygon x0, y0, x1, y1, ... (a trailing odd value is ignored; the last
// vertex joins the first). No vertex gives one run of 0s of h*w (32-bit) pixels.
Rle rasterise_polygon(std::span<const double> xy, uint32_t h, uint32_t w, RasterScratch& scratch);

// The box [x, y, width, height] as the polygon (x, y), (x, y+h), (x+w, y+h), (x+w, y).
Rle rasterise_box(const Box& box, uint32_t h, uint32_t w, RasterScratch& scratch);

// The union of several polygons stored back to back in `xy`; ends[i] is the
// coordinate index one past polygon i. A single end offset makes the whole
// array one polygon; no offsets give the empty Rle (0 x 0). Offsets that go
// backwards or past the end are an InternalError.
Rle rasterise_polygon_set(std::span<const double> xy, std::span<const uint32_t> ends, uint32_t h,
                          uint32_t w, RasterScratch& scratch);

}  // namespace brandor::rle
