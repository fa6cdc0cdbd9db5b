#include "core/eval/evaluator_core.hpp"

#include "core/error.hpp"
#include "core/eval/budget_filter.hpp"

namespace brandor::eval {

void index_tables(EvaluatorCore& core) {
    Stopwatch watch;
    core.slots = core.params.category_slots();
    core.gt_index = build_group_index(core.gt.image_index, core.gt.category_index, core.slots, core.params.use_cats);
    core.dt_index = build_group_index(core.dt.image_index, core.dt.category_index, core.slots, core.params.use_cats);
    core.dt_keep = budget_keep(core.dt, core.slots, core.params.use_cats, core.params.budget());
    watch.add_to(core.timings.group_index);
}

void check_tables(const EvaluatorCore& core) {
    const auto* gk = std::get_if<KeypointStore>(&core.gt.geometry);
    const auto* dk = std::get_if<KeypointStore>(&core.dt.geometry);
    // Rows that take part always carry keypoints (the readers see to that), so
    // a side with no keypoints at all has nothing to compare.
    if (!gk || !dk || gk->keypoint_count == 0 || dk->keypoint_count == 0) return;
    if (gk->keypoint_count != dk->keypoint_count)
        throw value_error("ground truth and detections must have the same number of keypoints");
    if (core.params.kpt_sigmas.size() < gk->keypoint_count)
        throw value_error("kpt_sigmas has " + std::to_string(core.params.kpt_sigmas.size()) +
                          " entries but the annotations have " + std::to_string(gk->keypoint_count) +
                          " keypoints");
}

}  // namespace brandor::eval
