// alloc_stats() and reset_alloc_peak(): the allocation counters as Python sees them.
#pragma once

#include "py/kit/callable.hpp"

namespace brandor::py {
extern const Callable alloc_stats_fn;
extern const Callable reset_alloc_peak_fn;
}  // namespace brandor::py
