// Reads a Python list of annotation dicts into an InstanceTable, row by row
// in list order, with the interpreter lock held. Each value is converted once;
// the first failure ends the read and nothing of the table is kept.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "core/eval/instance_table.hpp"
#include "core/eval/timings.hpp"
#include "py/kit/python.hpp"

namespace brandor::py {

// id -> position; built by inserting ids in list order, so a repeated id maps
// to its last position.
using PositionMap = std::unordered_map<std::int64_t, std::uint32_t>;

PositionMap position_map(const std::vector<std::int64_t>& ids);

struct ListSource {
    eval::IouType kind;
    const PositionMap& images;
    const PositionMap& categories;
};

// Ground truth and detections differ in the ignore flag, visibility and the
// keypoint boxes. Adds the read's wall time to gt_read or dt_read on success.
eval::InstanceTable read_annotation_list(PyObject* list, bool ground_truth, const ListSource& source,
                                         eval::PhaseTimings& timings);

}  // namespace brandor::py
