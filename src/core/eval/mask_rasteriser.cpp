#include "core/eval/mask_rasteriser.hpp"

#include <string>
#include <system_error>

#include "core/error.hpp"
#include "core/parallel/pool.hpp"
#include "core/rle/counts_text.hpp"

namespace brandor::eval {

namespace {

// Jobs per pool task: enough to amortise the claim and the scratch buffers.
constexpr std::size_t kJobsPerTask = 16;

struct JobRasteriser {
    rle::RasterScratch& scratch;
    std::uint32_t h, w;

    rle::Rle operator()(const PolygonGeometry& g) const {
        return rle::rasterise_polygon_set(g.coords, g.ring_ends, h, w, scratch);
    }
    rle::Rle operator()(UncompressedGeometry& g) const { return rle::Rle{h, w, std::move(g.counts)}; }
    rle::Rle operator()(const CompressedGeometry& g) const { return rle::decode_rle(g.text, h, w); }
    rle::Rle operator()(const BoxGeometry& g) const { return rle::rasterise_box(g.box, h, w, scratch); }
    rle::Rle operator()(const EmptyGeometry&) const { return rle::Rle{}; }
};

}  // namespace

rle::Rle rasterise_job(GeometryJob& job, rle::RasterScratch& scratch) {
    return std::visit(JobRasteriser{scratch, job.h, job.w}, job.geometry);
}

MaskRasteriser::MaskRasteriser(bool compress, std::size_t slots, PhaseTimings& timings)
    : compress_(compress), timings_(timings) {
    if (compress_)
        output_.texts.reserve(slots);
    else
        output_.masks.reserve(slots);
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error& e) {
        throw InternalError(std::string("failed to spawn thread: ") + e.what());
    }
}

MaskRasteriser::~MaskRasteriser() { close_and_join(); }

bool MaskRasteriser::hand_over(JobBatch&& batch) { return channel_.send(std::move(batch)); }

void MaskRasteriser::close_and_join() noexcept {
    if (!thread_.joinable()) return;
    channel_.close_sender();
    thread_.join();
}

RasterisedMasks MaskRasteriser::finish() {
    close_and_join();
    if (failure_) throw InternalError("mask worker panicked");
    return std::move(output_);
}

void MaskRasteriser::decode_batch(JobBatch& batch) {
    const std::size_t first = output_.masks.size();
    output_.masks.resize(first + batch.size());
    // Each job lands at its own position, so the order never depends on how
    // the pool divides the batch.
    parallel::parallel_for_chunks(batch.size(), kJobsPerTask, [&](std::size_t begin, std::size_t end) {
        rle::RasterScratch scratch;
        for (std::size_t i = begin; i < end; ++i) output_.masks[first + i] = rasterise_job(batch[i], scratch);
    });
}

void MaskRasteriser::compress_batch(JobBatch& batch) {
    // Compressed counts are kept as they came (decoding them later gives the
    // same runs as decoding them now); other masks are rasterised and encoded.
    std::vector<std::string> texts(batch.size());
    parallel::parallel_for_chunks(batch.size(), kJobsPerTask, [&](std::size_t begin, std::size_t end) {
        rle::RasterScratch scratch;
        for (std::size_t i = begin; i < end; ++i) {
            if (auto* c = std::get_if<CompressedGeometry>(&batch[i].geometry))
                texts[i] = std::move(c->text);
            else
                rle::encode_counts(rasterise_job(batch[i], scratch).counts, texts[i]);
        }
    });
    // Appended in job order, one batch's text at a time.
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const bool empty = std::holds_alternative<EmptyGeometry>(batch[i].geometry);
        output_.texts.push_back(MaskText{output_.text.size(), texts[i].size(), empty ? 0 : batch[i].h,
                                         empty ? 0 : batch[i].w});
        output_.text += texts[i];
    }
}

void MaskRasteriser::run() noexcept {
    try {
        while (auto batch = channel_.receive()) {
            Stopwatch watch;
            if (compress_)
                compress_batch(*batch);
            else
                decode_batch(*batch);
            watch.add_to(timings_.rasterise);
        }
    } catch (...) {
        failure_ = std::current_exception();
        output_ = RasterisedMasks{};
    }
    // Further hand-overs fail from now on; pending ones are released.
    channel_.close_receiver();
}

}  // namespace brandor::eval
