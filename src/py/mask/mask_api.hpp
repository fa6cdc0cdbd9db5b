// The mask functions of the COCO toolkit's `mask` API (encode, decode, merge,
// area, toBbox, iou, frBbox, frPoly, frUncompressedRLE, frPyObjects) and the
// extension toBoundary, as registered in the module's function table.
#pragma once

#include "py/kit/callable.hpp"

namespace brandor::py {
extern const Callable encode_fn;
extern const Callable decode_fn;
extern const Callable merge_fn;
extern const Callable area_fn;
extern const Callable to_bbox_fn;
extern const Callable iou_fn;
extern const Callable fr_bbox_fn;
extern const Callable fr_poly_fn;
extern const Callable fr_uncompressed_rle_fn;
extern const Callable fr_py_objects_fn;
extern const Callable to_boundary_fn;
}  // namespace brandor::py
