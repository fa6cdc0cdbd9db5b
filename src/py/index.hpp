// index_annotations() and the prepare_*_results() helpers: the per-annotation
// loops of COCO index building and result loading, done natively over the caller's own
// annotation objects with Python's item access and arithmetic.
#pragma once

#include "py/kit/callable.hpp"

namespace brandor::py {

extern const Callable index_annotations_fn;
extern const Callable prepare_bbox_results_fn;
extern const Callable prepare_mask_results_fn;
extern const Callable prepare_keypoint_results_fn;

// Fills "area" (bbox[2] * bbox[3], by the objects' own multiplication), "id"
// (position + 1) and "iscrowd" (0) of each annotation of `list`, in order. A
// failure leaves the annotations before the failing one filled.
void fill_bbox_results(PyObject* list);

}  // namespace brandor::py
