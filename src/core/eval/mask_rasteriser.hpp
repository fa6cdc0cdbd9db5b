// The rasteriser thread of Evaluator construction: it receives batches of
// geometry jobs from the reader over a rendezvous channel and turns each job
// into a mask on the worker pool,
// keeping job order, while the reader goes on reading. The thread never
// outlives its MaskRasteriser.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "core/eval/geometry.hpp"
#include "core/eval/geometry_job.hpp"
#include "core/eval/timings.hpp"
#include "core/parallel/rendezvous.hpp"
#include "core/rle/rasterise.hpp"

namespace brandor::eval {

// One mask per job, in job order: decoded, or (when the rasteriser
// compresses) as counts text, all jobs' text back to back.
struct RasterisedMasks {
    std::vector<rle::Rle> masks;
    std::string text;
    std::vector<MaskText> texts;
};

// The mask of one job at the job's size (polygons are united). Uncompressed
// counts are moved out of the job.
rle::Rle rasterise_job(GeometryJob& job, rle::RasterScratch& scratch);

class MaskRasteriser {
public:
    // Starts the thread. `slots` reserves the outputs (the number of jobs to
    // come); with `compress` the masks are kept as counts text.
    MaskRasteriser(bool compress, std::size_t slots, PhaseTimings& timings);
    ~MaskRasteriser();
    MaskRasteriser(const MaskRasteriser&) = delete;
    MaskRasteriser& operator=(const MaskRasteriser&) = delete;

    // Blocks until the thread takes the batch; false once it has stopped.
    bool hand_over(JobBatch&& batch);

    // Closes the hand-over and joins the thread. Throws InternalError
    // "mask worker panicked" when rasterisation failed; otherwise returns the
    // masks in job order. Call at most once.
    RasterisedMasks finish();

private:
    void run() noexcept;
    void decode_batch(JobBatch& batch);
    void compress_batch(JobBatch& batch);
    void close_and_join() noexcept;

    bool compress_;
    PhaseTimings& timings_;
    parallel::Rendezvous<JobBatch> channel_;
    RasterisedMasks output_;
    std::exception_ptr failure_;
    std::thread thread_;
};

}  // namespace brandor::eval
