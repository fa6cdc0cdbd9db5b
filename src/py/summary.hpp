// summary_values(): the values behind one COCO summary statistic.
#pragma once

#include "py/kit/callable.hpp"

namespace brandor::py {
extern const Callable summary_values_fn;
}  // namespace brandor::py
