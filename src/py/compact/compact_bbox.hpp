// The CompactBbox class: a Python object that wraps one compact store
// (columns, snapshot, flags), created only by the loaders. Its methods answer
// questions about the result set without building one object per annotation,
// and build annotation dicts from the snapshot only when asked.
#pragma once

#include <memory>

#include "core/compact/columns.hpp"
#include "py/kit/callable.hpp"
#include "py/kit/native.hpp"

namespace brandor::py {

using CompactBboxObject = NativeObject<compact::CompactStore>;

// The type object, created on first use. Python code cannot instantiate it.
PyTypeObject* compact_bbox_type();

// A new CompactBbox owning `store`.
Ref make_compact_bbox(std::unique_ptr<compact::CompactStore> store);

extern const Callable load_compact_bbox_fn;
extern const Callable load_compact_array_fn;

}  // namespace brandor::py
