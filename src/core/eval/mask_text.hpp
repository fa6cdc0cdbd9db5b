// Reading a segmentation value from JSON text (a compact record's span, or
// an annotation met while walking a snapshot): polygon rings, an RLE object
// with compressed or uncompressed counts, or null. Errors are json::ParseErrors
// with the reader's message and position.
#pragma once

#include <cstddef>
#include <variant>

#include "core/eval/geometry_job.hpp"
#include "core/json/parser.hpp"

namespace brandor::eval {

// Compressed counts that can be decoded from the text as it stands (no
// escapes): their byte range in the parser's text.
struct CountsInText {
    std::size_t offset;
    std::size_t length;
};

struct NoSegmentation {};

using MaskGeometry =
    std::variant<NoSegmentation, PolygonGeometry, UncompressedGeometry, CompressedGeometry, CountsInText>;

// Reads the segmentation value at the parser's position; the parser ends just
// after it.
MaskGeometry read_mask_geometry(json::Parser& parser);

// The job for a record without segmentation: its box as a rectangle. Boxes of
// float32 sources get the corners x + w and y + h summed in 32-bit floats, as
// the reference's result loader computes them from such an array.
GeometryJob box_job(const double* xywh, bool float32, std::uint32_t h, std::uint32_t w);

// A parsed geometry as a job of the given size; counts left in the text are
// copied out of `text` (the parser's text).
GeometryJob geometry_job(MaskGeometry&& g, std::string_view text, const double* xywh, bool float32,
                         std::uint32_t h, std::uint32_t w);

}  // namespace brandor::eval
