#include "py/index.hpp"

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <exception>
#include <optional>
#include <vector>

#include "core/parallel/pool.hpp"
#include "core/rle/counts_text.hpp"
#include "core/rle/measure.hpp"
#include "py/kit/convert.hpp"
#include "py/kit/errors.hpp"
#include "py/kit/gc_pause.hpp"
#include "py/kit/gil.hpp"
#include "py/kit/keys.hpp"
#include "py/kit/numpy.hpp"
#include "py/mask/readers.hpp"
#include "py/mask/rle_dict.hpp"

namespace brandor::py {
namespace {

// mapping[k], as Python's subscription gives it (KeyError for a missing key).
Ref get_item(PyObject* mapping, PyObject* k) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* v = PyDict_GetItemWithError(mapping, k);
        if (!v) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, k);
            throw ErrorAlreadySet{};
        }
        return Ref::borrow(v);
    }
    return Ref::steal(PyObject_GetItem(mapping, k));
}

void set_item(PyObject* mapping, PyObject* k, PyObject* v) {
    check(PyDict_CheckExact(mapping) ? PyDict_SetItem(mapping, k, v) : PyObject_SetItem(mapping, k, v));
}

// sequence[i] as Python's subscription gives it.
Ref item_at(PyObject* sequence, Py_ssize_t i) {
    if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) return Ref::steal(PySequence_GetItem(sequence, i));
    Ref index = Ref::steal(PyLong_FromSsize_t(i));
    return Ref::steal(PyObject_GetItem(sequence, index.get()));
}

// Item access may run Python code that changes the list, so the bound is
// re-read on every step: below both the current length and the starting one.
template <class Step>
void for_each_annotation(PyObject* list, Step&& step) {
    const Py_ssize_t initial = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < initial && i < PyList_GET_SIZE(list); ++i) {
        Ref ann = Ref::borrow(PyList_GET_ITEM(list, i));
        step(i, ann.get());
    }
}

// Appends `value` to index[k], creating the list when `k` is new.
void append_to(PyObject* index, PyObject* k, PyObject* value) {
    PyObject* bucket = PyDict_GetItemWithError(index, k);
    if (bucket) {
        check(PyList_Append(bucket, value));
        return;
    }
    if (PyErr_Occurred()) throw ErrorAlreadySet{};
    Ref fresh = Ref::steal(PyList_New(1));
    PyList_SET_ITEM(fresh.get(), 0, Ref::borrow(value).release());
    check(PyDict_SetItem(index, k, fresh.get()));
}

PyObject* list_argument(const BoundArgs& args, std::size_t i) {
    return args.convert(i, [](PyObject* o) {
        if (!PyList_Check(o)) not_an_instance(o, "list");
        return o;
    });
}

Ref index_annotations_impl(PyObject*, const BoundArgs& args) {
    PyObject* list = list_argument(args, 0);
    const bool with_categories = args.convert(1, to_bool);
    const GcPause paused;  // new dicts and lists only, no garbage: no collection midway
    Ref by_id = Ref::steal(PyDict_New());
    Ref by_image = Ref::steal(PyDict_New());
    Ref by_category = Ref::steal(PyDict_New());
    for_each_annotation(list, [&](Py_ssize_t, PyObject* ann) {
        Ref image = get_item(ann, key(Key::ImageId));
        append_to(by_image.get(), image.get(), ann);
        Ref id = get_item(ann, key(Key::Id));
        check(PyDict_SetItem(by_id.get(), id.get(), ann));
        if (with_categories) {
            Ref category = get_item(ann, key(Key::CategoryId));
            append_to(by_category.get(), category.get(), image.get());
        }
    });
    return Ref::steal(PyTuple_Pack(3, by_id.get(), by_image.get(), by_category.get()));
}

Ref prepare_bbox_results_impl(PyObject*, const BoundArgs& args) {
    fill_bbox_results(list_argument(args, 0));
    return Ref::borrow(Py_None);
}

// A NumPy scalar of `value` (np.uint32, np.float64), as indexing an array gives it.
template <class T>
Ref numpy_scalar(T value) {
    PyArray_Descr* descr = PyArray_DescrFromType(numpy_type_of<T>());
    Ref scalar = Ref::steal(PyArray_Scalar(&value, descr, nullptr));
    Py_DECREF(descr);
    return scalar;
}

// What the mask API's area() and toBbox() give for a segmentation that is a
// list of RLE dicts: a uint32 array and an (n, 4) array.
struct ListMeasures {
    Ref area, box;
};

ListMeasures measure_list(PyObject* segm, bool need_box) {
    std::vector<rle::Rle> masks = mask::read_rle_list(segm);
    std::vector<uint32_t> areas;
    std::vector<double> boxes;
    for (const rle::Rle& r : masks) {
        areas.push_back(rle::area(r));
        const rle::Box b = rle::bbox(r);
        boxes.insert(boxes.end(), b.begin(), b.end());
    }
    const auto n = static_cast<npy_intp>(masks.size());
    ListMeasures m{array_from_vector(std::move(areas), {n}), Ref{}};
    if (need_box) m.box = array_from_vector(std::move(boxes), {n, 4});
    return m;
}

// One result's measures: an RLE dict's area and (when the result has no
// box) its box, or a list's arrays. A dict's counts text is decoded later,
// off the interpreter lock; `counts` keeps the text alive until then.
struct MaskResult {
    Ref ann;
    bool needs_box = false;
    uint32_t area = 0;
    std::size_t box_row = 0;  // row in the shared box array
    std::optional<ListMeasures> list;
    std::optional<mask::RleParts> text;
};

// A decoded mask's area, and its box into the result's row when it needs one.
void measure(const rle::Rle& m, MaskResult& r, std::vector<double>& box_rows) {
    r.area = rle::area(m);
    if (r.needs_box) {
        const rle::Box b = rle::bbox(m);
        std::copy(b.begin(), b.end(), box_rows.begin() + 4 * r.box_row);
    }
}

// Measures every result whose mask is still counts text, on the worker pool
// with the interpreter lock released (each writes only its own result and box
// row); the texts were all read, so nothing can fail here but memory.
void measure_texts(std::vector<MaskResult>& results, std::vector<double>& box_rows) {
    without_gil([&] {
        parallel::parallel_for_chunks(results.size(), 512, [&](std::size_t begin, std::size_t end) {
            rle::Rle scratch;
            for (std::size_t i = begin; i < end; ++i) {
                MaskResult& r = results[i];
                if (!r.text) continue;
                scratch.h = r.text->h;
                scratch.w = r.text->w;
                rle::decode_counts(r.text->counts.text, false, scratch.counts);
                measure(scratch, r, box_rows);
            }
        });
    });
    for (MaskResult& r : results) r.text.reset();  // releases the texts, lock held
}

// Fills area, the missing box, id and iscrowd of the measured results, in
// order. A single RLE gives an np.uint32 and a (4,) float64 array, as
// area() and toBbox() give for one RLE; the boxes are rows of one array.
void fill_mask_results(std::vector<MaskResult>& results, std::vector<double>&& box_rows) {
    const GcPause paused;  // many new objects, no garbage: no collection midway
    const auto rows = static_cast<npy_intp>(box_rows.size() / 4);
    Ref boxes = array_from_vector(std::move(box_rows), {rows, 4});
    auto* base = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(boxes.get())));
    Ref zero = Ref::steal(PyLong_FromLong(0));
    for (std::size_t i = 0; i < results.size(); ++i) {
        MaskResult& r = results[i];
        PyObject* ann = r.ann.get();
        Ref area = r.list ? r.list->area : numpy_scalar(r.area);
        set_item(ann, key(Key::Area), area.get());
        if (r.needs_box) {
            Ref box = r.list ? r.list->box
                             : detail::array_over(base + 4 * r.box_row, NPY_DOUBLE, {4}, nullptr, boxes);
            set_item(ann, key(Key::Bbox), box.get());
        }
        Ref id = Ref::steal(PyLong_FromSize_t(i + 1));
        set_item(ann, key(Key::Id), id.get());
        set_item(ann, key(Key::Iscrowd), zero.get());
    }
}

void complete_mask_results(std::vector<MaskResult>& results, std::vector<double>&& box_rows) {
    measure_texts(results, box_rows);
    fill_mask_results(results, std::move(box_rows));
}

Ref prepare_mask_results_impl(PyObject*, const BoundArgs& args) {
    PyObject* list = list_argument(args, 0);
    std::vector<MaskResult> results;
    std::vector<double> box_rows;
    rle::Rle scratch;
    try {
        // Every segmentation is read and checked first, so that the texts can
        // be decoded in parallel and the boxes share one array; the first
        // failure still leaves the results before it completed, as completing
        // them one by one would.
        for_each_annotation(list, [&](Py_ssize_t, PyObject* ann) {
            MaskResult r;
            r.ann = Ref::borrow(ann);
            Ref segm = get_item(ann, key(Key::Segmentation));
            const int has_box = PySequence_Contains(ann, key(Key::Bbox));
            check(has_box);
            r.needs_box = has_box == 0;
            if (r.needs_box && !PyList_Check(segm.get())) {
                r.box_row = box_rows.size() / 4;
                box_rows.resize(box_rows.size() + 4);
            }
            if (PyList_Check(segm.get())) {
                r.list = measure_list(segm.get(), r.needs_box);
            } else {
                mask::RleParts parts = mask::read_rle_parts(segm.get(), scratch.counts);
                if (parts.counts.is_text) {
                    r.text = std::move(parts);
                } else {  // a list of run lengths, already read
                    scratch.h = parts.h;
                    scratch.w = parts.w;
                    measure(scratch, r, box_rows);
                }
            }
            results.push_back(std::move(r));
        });
    } catch (...) {
        const std::exception_ptr failure = std::current_exception();
        {
            // The failure's exception is set aside while the earlier results
            // are completed, and set again afterwards.
            SetAsideError pending;
            complete_mask_results(results, std::move(box_rows));
        }
        std::rethrow_exception(failure);
    }
    complete_mask_results(results, std::move(box_rows));
    return Ref::borrow(Py_None);
}

// Extent of keypoint coordinates s[offset::3], when numpy.min and numpy.max
// of that list are float64 reductions whose result cannot depend on the order
// of comparisons: every item an exact float or an int that converts exactly,
// at least one float, none NaN and none zero (whose sign a reduction may pick
// either way). Otherwise nothing, and the caller asks NumPy itself.
struct Extent {
    double lo, hi;
};

bool float_extent(PyObject* s, Py_ssize_t offset, Extent& out) {
    const Py_ssize_t n = PyList_GET_SIZE(s);
    bool any_float = false, first = true;
    for (Py_ssize_t j = offset; j < n; j += 3) {
        PyObject* v = PyList_GET_ITEM(s, j);
        double d;
        if (PyFloat_CheckExact(v)) {
            d = PyFloat_AS_DOUBLE(v);
            any_float = true;
        } else if (PyLong_CheckExact(v)) {
            int overflow = 0;
            const long long k = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (overflow || k > (1LL << 53) || k < -(1LL << 53)) return false;
            d = static_cast<double>(k);
        } else {
            return false;
        }
        if (std::isnan(d) || d == 0.0) return false;
        if (first || d < out.lo) out.lo = d;
        if (first || d > out.hi) out.hi = d;
        first = false;
    }
    return any_float;
}

// The width, height and area of the extents, when no step would set a
// floating-point flag (overflow, an infinity minus itself, an inexact tiny
// product) that NumPy's scalar arithmetic reports as a warning or an error
// under np.seterr; such a result is left to NumPy.
bool normal_arithmetic(const Extent& x, const Extent& y, double& dw, double& dh, double& product) {
    if (!std::isfinite(x.lo) || !std::isfinite(x.hi) || !std::isfinite(y.lo) || !std::isfinite(y.hi)) return false;
    dw = x.hi - x.lo;
    dh = y.hi - y.lo;
    product = dw * dh;
    if (!std::isfinite(dw) || !std::isfinite(dh) || !std::isfinite(product)) return false;
    if (product == 0.0) return dw == 0.0 || dh == 0.0;
    return std::fabs(product) >= DBL_MIN;
}

// numpy.min and numpy.max, looked up once per call when a result needs them.
struct NumpyReductions {
    Ref min, max;
    void resolve() {
        if (min) return;
        Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
        min = Ref::steal(PyObject_GetAttrString(numpy.get(), "min"));
        max = Ref::steal(PyObject_GetAttrString(numpy.get(), "max"));
    }
};

// numpy.min(x), numpy.max(x), numpy.min(y), numpy.max(y) of the keypoints'
// x and y slices, as NumPy computes them.
std::array<Ref, 4> numpy_extents(PyObject* s, NumpyReductions& np) {
    np.resolve();
    std::array<Ref, 4> out;
    for (int axis = 0; axis < 2; ++axis) {
        Ref start = Ref::steal(PyLong_FromLong(axis));
        Ref step = Ref::steal(PyLong_FromLong(3));
        Ref slice = Ref::steal(PySlice_New(start.get(), Py_None, step.get()));
        Ref coords = Ref::steal(PyObject_GetItem(s, slice.get()));
        out[2 * axis] = Ref::steal(PyObject_CallOneArg(np.min.get(), coords.get()));
        out[2 * axis + 1] = Ref::steal(PyObject_CallOneArg(np.max.get(), coords.get()));
    }
    return out;
}

Ref prepare_keypoint_results_impl(PyObject*, const BoundArgs& args) {
    PyObject* list = list_argument(args, 0);
    const GcPause paused;  // many new objects, no garbage: no collection midway
    NumpyReductions np;
    for_each_annotation(list, [&](Py_ssize_t i, PyObject* ann) {
        Ref s = get_item(ann, key(Key::Keypoints));
        Extent x{}, y{};
        Ref x0, y0, area, w_box, h_box;
        double dw = 0, dh = 0, product = 0;
        const bool fast = PyList_CheckExact(s.get()) && float_extent(s.get(), 0, x) && float_extent(s.get(), 1, y) &&
                          normal_arithmetic(x, y, dw, dh, product);
        if (fast) {
            // float64 scalars, and the float64 arithmetic NumPy's scalars do.
            x0 = numpy_scalar(x.lo), y0 = numpy_scalar(y.lo);
            area = numpy_scalar(product);
            w_box = numpy_scalar(dw), h_box = numpy_scalar(dh);
        } else {
            // The reference's own steps: x1 - x0 and y1 - y0 once for the
            // area and once more for the box.
            std::array<Ref, 4> e = numpy_extents(s.get(), np);
            x0 = std::move(e[0]), y0 = std::move(e[2]);
            const Ref& x1 = e[1];
            const Ref& y1 = e[3];
            Ref w = Ref::steal(PyNumber_Subtract(x1.get(), x0.get()));
            Ref h = Ref::steal(PyNumber_Subtract(y1.get(), y0.get()));
            area = Ref::steal(PyNumber_Multiply(w.get(), h.get()));
            w_box = Ref::steal(PyNumber_Subtract(x1.get(), x0.get()));
            h_box = Ref::steal(PyNumber_Subtract(y1.get(), y0.get()));
        }
        set_item(ann, key(Key::Area), area.get());
        Ref id = Ref::steal(PyLong_FromSsize_t(i + 1));
        set_item(ann, key(Key::Id), id.get());
        Ref box = Ref::steal(PyList_New(4));
        PyList_SET_ITEM(box.get(), 0, x0.release());
        PyList_SET_ITEM(box.get(), 1, y0.release());
        PyList_SET_ITEM(box.get(), 2, w_box.release());
        PyList_SET_ITEM(box.get(), 3, h_box.release());
        set_item(ann, key(Key::Bbox), box.get());
    });
    return Ref::borrow(Py_None);
}

}  // namespace

void fill_bbox_results(PyObject* list) {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    for_each_annotation(list, [&](Py_ssize_t i, PyObject* ann) {
        Ref bb = get_item(ann, key(Key::Bbox));
        Ref w = item_at(bb.get(), 2);
        Ref h = item_at(bb.get(), 3);
        Ref area = Ref::steal(PyNumber_Multiply(w.get(), h.get()));
        Ref id = Ref::steal(PyLong_FromSsize_t(i + 1));
        set_item(ann, key(Key::Area), area.get());
        set_item(ann, key(Key::Id), id.get());
        set_item(ann, key(Key::Iscrowd), zero.get());
    });
}

const Callable index_annotations_fn{
    "index_annotations",
    "index_annotations(annotations, with_categories)\n--\n\n"
    "Build public annotation indexes without Python bytecode loops or copied annotations.",
    index_annotations_impl};

const Callable prepare_bbox_results_fn{
    "prepare_bbox_results",
    "prepare_bbox_results(annotations)\n--\n\n"
    "Fill bbox-result metadata with Python arithmetic and object semantics intact.",
    prepare_bbox_results_impl};

const Callable prepare_mask_results_fn{
    "prepare_mask_results",
    "prepare_mask_results(annotations)\n--\n\n"
    "Fill mask-result area, missing bbox, id and iscrowd, decoding each segmentation once.",
    prepare_mask_results_impl};

const Callable prepare_keypoint_results_fn{
    "prepare_keypoint_results",
    "prepare_keypoint_results(annotations)\n--\n\n"
    "Fill keypoint-result area, id and bbox from the extent of each result's keypoints.",
    prepare_keypoint_results_impl};

}  // namespace brandor::py
