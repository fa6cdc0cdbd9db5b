// Selects the precision (5 axes) or recall (4 axes) entries of one summary
// line and drops the -1 (and NaN) cells, so the caller only averages.
#include "py/summary.hpp"

#include <vector>

#include "py/kit/convert.hpp"
#include "py/kit/numpy.hpp"

namespace brandor::py {

namespace {

Ref summary_values_impl(PyObject*, const BoundArgs& args) {
    PyArrayObject* array = args.convert(0, [](PyObject* o) { return expect_array(o, NPY_FLOAT64, "float64"); });
    const std::vector<uint64_t> thresholds = args.convert(1, to_u64_vector);
    const std::vector<uint64_t> categories = args.convert(2, to_u64_vector);
    const uint64_t area = args.convert(3, to_u64);
    const uint64_t max_det = args.convert(4, to_u64);

    if (!PyArray_ISALIGNED(array)) throw value_error("summary array must be aligned");
    const int ndim = PyArray_NDIM(array);
    if (ndim != 4 && ndim != 5) throw value_error("summary array must have four or five axes");
    const npy_intp* shape = PyArray_SHAPE(array);
    const npy_intp* strides = PyArray_STRIDES(array);
    auto below = [](uint64_t position, npy_intp extent) {
        return position < static_cast<uint64_t>(extent);
    };
    bool inside = below(area, shape[ndim - 2]) && below(max_det, shape[ndim - 1]);
    for (uint64_t t : thresholds) inside = inside && below(t, shape[0]);
    for (uint64_t k : categories) inside = inside && below(k, shape[ndim - 3]);
    if (!inside) throw value_error("summary selection is outside the array");

    const char* base = static_cast<const char*>(PyArray_DATA(array));
    const npy_intp tail = static_cast<npy_intp>(area) * strides[ndim - 2] +
                          static_cast<npy_intp>(max_det) * strides[ndim - 1];
    const npy_intp recalls = ndim == 5 ? shape[1] : 1;
    const npy_intp recall_stride = ndim == 5 ? strides[1] : 0;
    const npy_intp category_stride = strides[ndim - 3];

    std::vector<double> kept;
    kept.reserve(thresholds.size() * static_cast<std::size_t>(recalls) * categories.size());
    for (uint64_t t : thresholds) {
        for (npy_intp r = 0; r < recalls; ++r) {
            for (uint64_t k : categories) {
                const char* cell = base + static_cast<npy_intp>(t) * strides[0] + r * recall_stride +
                                   static_cast<npy_intp>(k) * category_stride + tail;
                double v = *reinterpret_cast<const double*>(cell);
                if (v > -1.0) kept.push_back(v);  // drops -1 (no ground truth) and NaN
            }
        }
    }
    const npy_intp n = static_cast<npy_intp>(kept.size());
    return array_from_vector(std::move(kept), {n});
}

}  // namespace

const Callable summary_values_fn{
    "summary_values", "summary_values(array, thresholds, categories, area, max_det)\n--\n\n",
    summary_values_impl};

}  // namespace brandor::py
