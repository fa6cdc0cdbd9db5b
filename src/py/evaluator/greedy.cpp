// match_greedy: the engine's greedy matching of one image over a given
// similarity matrix, for COCOeval.evaluateImg, which builds the reference's
// per-image record from the assignment.
#include <cstdint>
#include <limits>
#include <vector>

#include "core/error.hpp"
#include "core/eval/matching.hpp"
#include "py/evaluator/evaluator.hpp"
#include "py/kit/convert.hpp"
#include "py/kit/numpy.hpp"

namespace brandor::py {
namespace {

std::vector<std::uint8_t> flags(PyObject* o) {
    std::vector<std::uint8_t> out;
    for (std::int64_t v : to_i64_vector(o)) out.push_back(v != 0);
    return out;
}

Ref match_greedy(PyObject*, const BoundArgs& args) {
    Ref ious = args.convert(0, [](PyObject* o) {
        return Ref::steal(PyArray_FROMANY(o, NPY_FLOAT64, 2, 2, NPY_ARRAY_CARRAY_RO));
    });
    const std::vector<std::uint8_t> gt_ignore = args.convert(1, flags);
    const std::vector<std::uint8_t> crowd = args.convert(2, flags);
    const std::vector<double> thrs = args.convert(3, to_f64_vector);
    auto* a = reinterpret_cast<PyArrayObject*>(ious.get());
    const std::size_t D = static_cast<std::size_t>(PyArray_DIM(a, 0)), G = static_cast<std::size_t>(PyArray_DIM(a, 1));
    if (gt_ignore.size() != G || crowd.size() != G)
        throw value_error("gt_ignore and iscrowd must hold one flag per column of ious");
    const double* values = static_cast<const double*>(PyArray_DATA(a));

    std::vector<std::int32_t> assignment(thrs.size() * D, -1);
    std::vector<std::uint8_t> matched;
    // No bound on the similarities is known: no detection is skipped unread.
    eval::assign_greedy(
        thrs, D, G, gt_ignore, crowd, [](std::size_t) { return std::numeric_limits<double>::infinity(); },
        [&](std::size_t d, std::size_t j) { return values[d * G + j]; }, assignment.data(), matched);
    std::vector<std::int64_t> out(assignment.begin(), assignment.end());
    return array_from_vector(std::move(out), {static_cast<npy_intp>(thrs.size()), static_cast<npy_intp>(D)});
}

}  // namespace

const Callable match_greedy_fn{
    "match_greedy",
    "match_greedy(ious, gt_ignore, iscrowd, iou_thrs)\n--\n\n"
    "Greedy matching of ranked detections (rows of ious) to ground truths (its\n"
    "columns, non-ignored first) at each IoU threshold, as the evaluation engine\n"
    "matches. Returns an int64 array (T, D): the column each detection takes, -1\n"
    "for none.",
    match_greedy};

}  // namespace brandor::py
