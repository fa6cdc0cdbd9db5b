// Reads a Python list of annotation dicts into an InstanceTable, row by row
// in list order, with the interpreter lock held. Each value is converted once;
// the first failure ends the read and nothing of the table is kept.
#pragma once

#include <cstdint>
#include "core/eval/instance_table.hpp"
#include "core/eval/job_sink.hpp"
#include "core/eval/table_builder.hpp"
#include "core/eval/timings.hpp"
#include "py/kit/python.hpp"

namespace brandor::py {

struct ListSource {
    eval::IouType kind;
    const eval::IdMaps& ids;
    const eval::ImageSizes* sizes = nullptr;  // mask kinds only
    eval::JobSink* jobs = nullptr;            // mask kinds only
};

// Ground truth and detections differ in the ignore flag, visibility and the
// keypoint boxes. Adds the read's wall time to gt_read or dt_read on success.
eval::InstanceTable read_annotation_list(PyObject* list, bool ground_truth, const ListSource& source,
                                         eval::PhaseTimings& timings);

}  // namespace brandor::py
