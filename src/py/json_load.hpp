// load_json, parse_json_only and read_file_only: a JSON file into Python
// objects, and the two benchmarking entry points that split its cost.
#pragma once

#include "py/kit/callable.hpp"

namespace brandor::py {
extern const Callable load_json_fn;
extern const Callable parse_json_only_fn;
extern const Callable read_file_only_fn;
}  // namespace brandor::py
