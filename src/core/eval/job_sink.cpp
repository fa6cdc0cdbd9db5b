#include "core/eval/job_sink.hpp"

#include "core/error.hpp"

namespace brandor::eval {

void JobSink::push(GeometryJob&& job) {
    batch_.push_back(std::move(job));
    if (batch_.size() < kBatchJobs) return;
    Stopwatch blocked;
    hand_over();
    blocked.add_to(timings_.read_blocked);
}

void JobSink::flush() {
    if (!batch_.empty()) hand_over();
}

void JobSink::hand_over() {
    // On a failed hand-over the batch is dropped with the sink.
    if (!rasteriser_.hand_over(std::move(batch_))) throw value_error("mask rasteriser stopped");
    batch_ = new_job_batch();
}

}  // namespace brandor::eval
