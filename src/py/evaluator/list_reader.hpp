// Reads a Python list of annotation dicts into an InstanceTable, row by row
// in list order, with the interpreter lock held. Each value is converted once;
// the first failure ends the read and nothing of the table is kept.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "core/eval/geometry_job.hpp"
#include "core/eval/instance_table.hpp"
#include "core/eval/mask_rasteriser.hpp"
#include "core/eval/timings.hpp"
#include "py/kit/python.hpp"

namespace brandor::py {

// id -> position; built by inserting ids in list order, so a repeated id maps
// to its last position.
using PositionMap = std::unordered_map<std::int64_t, std::uint32_t>;

PositionMap position_map(const std::vector<std::int64_t>& ids);

struct ImageSize {
    std::uint32_t height;
    std::uint32_t width;
};
using ImageSizes = std::unordered_map<std::int64_t, ImageSize>;

// Where the reader of a mask kind puts its geometry jobs: one batch filled
// across both lists and handed to the rasteriser whenever it is full.
class JobSink {
public:
    JobSink(eval::MaskRasteriser& rasteriser, eval::PhaseTimings& timings)
        : rasteriser_(rasteriser), timings_(timings), batch_(eval::new_job_batch()) {}

    // Appends a job; a full batch is handed over (the wait counts as blocked).
    void push(eval::GeometryJob&& job);
    // Hands over the last, partial batch (not counted as blocked).
    void flush();

private:
    void hand_over();

    eval::MaskRasteriser& rasteriser_;
    eval::PhaseTimings& timings_;
    eval::JobBatch batch_;
};

struct ListSource {
    eval::IouType kind;
    const PositionMap& images;
    const PositionMap& categories;
    const ImageSizes* sizes = nullptr;  // mask kinds only
    JobSink* jobs = nullptr;            // mask kinds only
};

// Ground truth and detections differ in the ignore flag, visibility and the
// keypoint boxes. Adds the read's wall time to gt_read or dt_read on success.
eval::InstanceTable read_annotation_list(PyObject* list, bool ground_truth, const ListSource& source,
                                         eval::PhaseTimings& timings);

}  // namespace brandor::py
