// The raw mask geometry of one annotation as the reader found it, with the
// size of its image, waiting to be rasterised; and the batches in which the
// reader hands jobs over to the rasteriser.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "core/rle/rle.hpp"

namespace brandor::eval {

// All rings of a polygon segmentation back to back; ring_ends[i] is the
// coordinate count after ring i.
struct PolygonGeometry {
    std::vector<double> coords;
    std::vector<std::uint32_t> ring_ends;
};

// Run lengths given as numbers, used as they are.
struct UncompressedGeometry {
    std::vector<std::uint32_t> counts;
};

// The bytes of a compressed counts string.
struct CompressedGeometry {
    std::string text;
};

// No segmentation: the annotation's box, rasterised as a rectangle.
struct BoxGeometry {
    rle::Box box;
};

struct EmptyGeometry {};

struct GeometryJob {
    std::variant<PolygonGeometry, UncompressedGeometry, CompressedGeometry, BoxGeometry, EmptyGeometry>
        geometry;
    std::uint32_t h = 0;
    std::uint32_t w = 0;
};

inline constexpr std::size_t kBatchJobs = 4096;

using JobBatch = std::vector<GeometryJob>;

inline JobBatch new_job_batch() {
    JobBatch batch;
    batch.reserve(kBatchJobs);
    return batch;
}

}  // namespace brandor::eval
