// The one table of interned key strings, created once per process and never
// released: the annotation keys the evaluator and the index helpers read and
// write, the RLE dict keys of the mask API, and the keys of the result dicts.
#pragma once

#include "py/kit/python.hpp"

namespace brandor::py {

enum class Key : int {
    // annotation keys
    Id, ImageId, CategoryId, Score, Bbox, Area, Iscrowd, NumKeypoints, Keypoints, Segmentation, Counts,
    // RLE dicts
    Size,
    // per-image record keys
    RecImageId, RecCategoryId, ARng, MaxDet, DtIds, GtIds, DtScores, DtMatches, GtMatches, GtIgnore, DtIgnore,
    Count_,
};

// The interned string of `k` (borrowed; lives until the process ends).
PyObject* key(Key k);

}  // namespace brandor::py
