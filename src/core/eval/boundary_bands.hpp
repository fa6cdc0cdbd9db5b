// Boundary bands for Boundary IoU, computed once both tables are indexed and
// only for the masks that can be compared: ground truths of an image and
// category that has a detection within the budget, and such detections of an
// image and category that has a ground truth. Other rows keep an empty band,
// which similarity never reads.
#pragma once

#include "core/eval/evaluator_core.hpp"

namespace brandor::eval {

// Fills the boundary stores of both tables (boundary kind only; other kinds
// are left as they are) on the worker pool, adding the time to `rasterise`.
void compute_boundary_bands(EvaluatorCore& core, double dilation);

}  // namespace brandor::eval
