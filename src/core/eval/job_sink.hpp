// Where a reader of a mask kind puts its geometry jobs: one batch, filled
// across both sides and handed to the rasteriser thread whenever it is full.
#pragma once

#include "core/eval/geometry_job.hpp"
#include "core/eval/mask_rasteriser.hpp"
#include "core/eval/timings.hpp"

namespace brandor::eval {

class JobSink {
public:
    JobSink(MaskRasteriser& rasteriser, PhaseTimings& timings)
        : rasteriser_(rasteriser), timings_(timings), batch_(new_job_batch()) {}

    // Appends a job; a full batch is handed over (the wait counts as blocked).
    // ValueError "mask rasteriser stopped" once the rasteriser has ended.
    void push(GeometryJob&& job);
    // Hands over the last, partial batch (not counted as blocked).
    void flush();

private:
    void hand_over();

    MaskRasteriser& rasteriser_;
    PhaseTimings& timings_;
    JobBatch batch_;
};

}  // namespace brandor::eval
