// The Evaluator class: a Python object that wraps one EvaluatorCore. The
// constructor reads and indexes the annotations; run, per_instance and
// timings evaluate and report without touching the annotations again.
#pragma once

#include "core/eval/evaluator_core.hpp"
#include "py/kit/callable.hpp"
#include "py/kit/native.hpp"

namespace brandor::py {

using EvaluatorObject = NativeObject<eval::EvaluatorCore>;

// The type object, created on first use.
PyTypeObject* evaluator_type();

extern const Callable evaluator_new_fn;
extern const Callable evaluator_configure_lvis_fn;
extern const Callable evaluator_run_fn;
extern const Callable evaluator_timings_fn;
extern const Callable evaluator_per_instance_fn;
extern const Callable evaluator_partial_fn;

// Module functions: accumulation over per-image records (records.cpp) and the
// greedy matching of one image over a given similarity matrix (greedy.cpp).
extern const Callable accumulate_eval_imgs_fn;
extern const Callable match_greedy_fn;

// Module functions over partial results of image shards (partial.cpp).
extern const Callable read_partial_fn;
extern const Callable merge_partials_fn;

}  // namespace brandor::py
