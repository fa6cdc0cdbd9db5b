// Conversion of Python arguments to run-length masks and back for the mask
// functions; the mask work itself is in core/rle. Everything runs on the
// calling thread with the interpreter lock held.
#include "py/mask/mask_api.hpp"

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/rle/boundary.hpp"
#include "core/rle/iou.hpp"
#include "core/rle/measure.hpp"
#include "core/rle/merge.hpp"
#include "core/rle/rasterise.hpp"
#include "core/rle/run_encode.hpp"
#include "py/kit/convert.hpp"
#include "py/kit/numpy.hpp"
#include "py/mask/readers.hpp"
#include "py/mask/rle_dict.hpp"

namespace brandor::py {

namespace {

using rle::Box;
using rle::Rle;
using mask::collect_items;
using mask::read_boxes_or_rles;
using mask::read_rle_list;
using mask::rle_from_dict;
using mask::rle_to_dict;

Ref new_list(std::size_t n) { return Ref::steal(PyList_New(static_cast<Py_ssize_t>(n))); }

// n * h * w bytes, or MemoryError when that cannot even be asked for.
std::size_t mask_bytes(std::size_t n, uint32_t h, uint32_t w) {
    std::size_t hw, total;
    if (__builtin_mul_overflow(static_cast<std::size_t>(h), static_cast<std::size_t>(w), &hw) ||
        __builtin_mul_overflow(hw, n, &total) ||
        total > static_cast<std::size_t>(std::numeric_limits<Py_ssize_t>::max()))
        throw Error(ErrorKind::Memory, "mask too large");
    return total;
}

Ref boxes_to_list(const std::vector<Box>& boxes, uint32_t h, uint32_t w) {
    Ref list = new_list(boxes.size());
    rle::RasterScratch scratch;
    std::string text;
    for (std::size_t i = 0; i < boxes.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        rle_to_dict(rle::rasterise_box(boxes[i], h, w, scratch), text).release());
    return list;
}

Ref polygons_to_list(const std::vector<Ref>& items, uint32_t h, uint32_t w) {
    Ref list = new_list(items.size());
    rle::RasterScratch scratch;
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::vector<double> xy = to_f64_vector(items[i].get());
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        rle_to_dict(rle::rasterise_polygon(xy, h, w, scratch), text).release());
    }
    return list;
}

// One dict with uncompressed counts; its own size is used.
Rle read_uncompressed(PyObject* o) {
    if (!PyDict_Check(o)) throw type_error("expected uncompressed RLE dicts");
    PyObject* size = PyDict_GetItemWithError(o, mask::size_key());
    if (!size) {
        if (PyErr_Occurred()) throw ErrorAlreadySet{};
        throw value_error("RLE dict is missing 'size'");
    }
    Ref size_ref = Ref::borrow(size);
    const mask::SizeEntries hw = mask::read_size(size);
    PyObject* counts = PyDict_GetItemWithError(o, mask::counts_key());
    if (!counts) {
        if (PyErr_Occurred()) throw ErrorAlreadySet{};
        throw value_error("RLE dict is missing 'counts'");
    }
    Ref counts_ref = Ref::borrow(counts);
    std::vector<uint32_t> runs = to_u32_vector(counts);
    // Entries past the second are ignored; sizes are taken modulo 2^32.
    if (hw.count < 2) throw value_error("RLE 'size' must be [h, w]");
    return Rle{static_cast<uint32_t>(hw.h), static_cast<uint32_t>(hw.w), std::move(runs)};
}

Ref uncompressed_to_list(const std::vector<Ref>& items) {
    Ref list = new_list(items.size());
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        rle_to_dict(read_uncompressed(items[i].get()), text).release());
    return list;
}

bool has_rle_keys(PyObject* dict) {
    const int a = PyDict_Contains(dict, mask::counts_key());
    if (a < 0) throw ErrorAlreadySet{};
    const int b = PyDict_Contains(dict, mask::size_key());
    if (b < 0) throw ErrorAlreadySet{};
    return a && b;
}

// True when `o` converts to a float (no Python error left set otherwise).
bool is_number(PyObject* o) {
    try {
        to_f64(o);
        return true;
    } catch (const ErrorAlreadySet&) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw;
        PyErr_Clear();
        return false;
    }
}

uint32_t h_arg(const BoundArgs& args, std::size_t i) { return args.convert(i, to_u32); }

Ref encode_impl(PyObject*, const BoundArgs& args) {
    PyArrayObject* a = args.convert(0, [](PyObject* o) { return expect_array(o, NPY_UINT8, "uint8"); });
    if (PyArray_NDIM(a) != 3) throw value_error("mask must be a 3-D (h, w, n) uint8 array");
    const npy_intp H = PyArray_DIM(a, 0), W = PyArray_DIM(a, 1), N = PyArray_DIM(a, 2);
    constexpr npy_intp kMax = std::numeric_limits<uint32_t>::max();
    if (H > kMax || W > kMax) throw overflow_error("out of range integral type conversion attempted");
    const auto h = static_cast<uint32_t>(H), w = static_cast<uint32_t>(W);
    const std::size_t hw = static_cast<std::size_t>(H) * static_cast<std::size_t>(W);
    const char* base = static_cast<const char*>(PyArray_DATA(a));
    const bool in_place = PyArray_IS_F_CONTIGUOUS(a);
    const npy_intp s0 = PyArray_STRIDE(a, 0), s1 = PyArray_STRIDE(a, 1), s2 = PyArray_STRIDE(a, 2);
    std::vector<uint8_t> buffer;  // one mask in column-major order, reused
    if (!in_place) buffer.resize(hw);
    Ref list = new_list(static_cast<std::size_t>(N));
    std::string text;
    Rle runs{h, w, {}};  // its run buffer is reused for every mask
    for (npy_intp k = 0; k < N; ++k) {
        std::span<const uint8_t> bytes;
        if (in_place) {
            bytes = {reinterpret_cast<const uint8_t*>(base) + static_cast<std::size_t>(k) * hw, hw};
        } else {
            uint8_t* out = buffer.data();
            for (npy_intp x = 0; x < W; ++x) {
                const char* col = base + x * s1 + k * s2;
                for (npy_intp y = 0; y < H; ++y) *out++ = static_cast<uint8_t>(col[y * s0]);
            }
            bytes = buffer;
        }
        rle::run_encode_counts(bytes, runs.counts);
        PyList_SET_ITEM(list.get(), k, rle_to_dict(runs, text).release());
    }
    return list;
}

Ref decode_impl(PyObject*, const BoundArgs& args) {
    const std::vector<Rle> rles = read_rle_list(args[0]);
    if (rles.empty()) throw index_error("decode() needs at least one RLE");
    const uint32_t h = rles[0].h, w = rles[0].w;
    const std::size_t n = rles.size();
    const std::size_t total = mask_bytes(n, h, w);
    const std::size_t hw = static_cast<std::size_t>(h) * w;
    std::vector<uint8_t> pixels(total);
    // Every mask fills h*w bytes whatever its own size.
    for (std::size_t k = 0; k < n; ++k) rle::expand(rles[k], std::span<uint8_t>(pixels.data() + k * hw, hw));
    const npy_intp strides[3] = {1, static_cast<npy_intp>(h), static_cast<npy_intp>(hw)};
    return array_from_vector(std::move(pixels),
                             {static_cast<npy_intp>(h), static_cast<npy_intp>(w), static_cast<npy_intp>(n)},
                             strides);
}

Ref merge_impl(PyObject*, const BoundArgs& args) {
    const int64_t intersect = args.convert(1, to_i64);
    rle::Merger merger(intersect != 0);
    mask::for_each_rle(collect_items(args[0]), [&](const Rle& r) { merger.add(r); });
    std::string text;
    return rle_to_dict(merger.result(), text);
}

Ref area_impl(PyObject*, const BoundArgs& args) {
    const std::vector<Ref> items = collect_items(args[0]);
    std::vector<uint32_t> areas;
    areas.reserve(items.size());
    mask::for_each_rle(items, [&](const Rle& r) { areas.push_back(rle::area(r)); });
    const auto n = static_cast<npy_intp>(areas.size());
    return array_from_vector(std::move(areas), {n});
}

Ref to_bbox_impl(PyObject*, const BoundArgs& args) {
    const std::vector<Ref> items = collect_items(args[0]);
    std::vector<double> boxes(items.size() * 4);
    double* out = boxes.data();
    mask::for_each_rle(items, [&](const Rle& r) {
        const Box b = rle::bbox(r);
        std::memcpy(out, b.data(), sizeof(b));
        out += 4;
    });
    return array_from_vector(std::move(boxes), {static_cast<npy_intp>(items.size()), 4});
}

Ref iou_impl(PyObject*, const BoundArgs& args) {
    const mask::BoxesOrRles dt = read_boxes_or_rles(args[0]);
    const mask::BoxesOrRles gt = read_boxes_or_rles(args[1]);
    const std::size_t m = dt.size(), n = gt.size();
    if (m == 0 || n == 0) return new_list(0);
    std::vector<uint8_t> crowd;
    for (const Ref& item : collect_items(args[2]))
        crowd.push_back(static_cast<uint8_t>(to_i64(item.get())));  // the low 8 bits
    if (dt.is_rles != gt.is_rles)
        throw type_error("The dt and gt should have the same data type, either RLEs, list or np.ndarray");
    std::vector<double> out(m * n);
    if (dt.is_rles)
        rle::mask_iou(dt.rles, gt.rles, crowd, 0.0, out);
    else
        rle::box_iou(dt.boxes, gt.boxes, crowd, out);
    return array_from_vector(std::move(out), {static_cast<npy_intp>(m), static_cast<npy_intp>(n)});
}

Ref fr_bbox_impl(PyObject*, const BoundArgs& args) {
    const uint32_t h = h_arg(args, 1), w = h_arg(args, 2);
    const mask::BoxesOrRles bb = read_boxes_or_rles(args[0]);
    if (bb.is_rles) throw type_error("expected bounding boxes");
    return boxes_to_list(bb.boxes, h, w);
}

Ref fr_poly_impl(PyObject*, const BoundArgs& args) {
    const uint32_t h = h_arg(args, 1), w = h_arg(args, 2);
    return polygons_to_list(collect_items(args[0]), h, w);
}

Ref fr_uncompressed_rle_impl(PyObject*, const BoundArgs& args) {
    h_arg(args, 1);  // converted for their errors, then unused: each dict has its size
    h_arg(args, 2);
    return uncompressed_to_list(collect_items(args[0]));
}

Ref fr_py_objects_impl(PyObject*, const BoundArgs& args) {
    const uint32_t h = h_arg(args, 1), w = h_arg(args, 2);
    PyObject* obj = args[0];
    if (mask::is_float64_array(obj)) return boxes_to_list(read_boxes_or_rles(obj).boxes, h, w);
    if (PyDict_Check(obj)) {
        if (!has_rle_keys(obj)) throw type_error("input type is not supported.");
        std::string text;
        return rle_to_dict(read_uncompressed(obj), text);
    }
    const std::vector<Ref> items = collect_items(obj);
    if (items.empty()) return new_list(0);
    PyObject* first = items[0].get();
    if (PyDict_Check(first) && has_rle_keys(first)) return uncompressed_to_list(items);
    if (is_number(first)) {
        // One shape given flat: four numbers are a box, anything else a polygon.
        std::vector<double> xy;
        xy.reserve(items.size());
        for (const Ref& item : items) xy.push_back(to_f64(item.get()));
        rle::RasterScratch scratch;
        std::string text;
        if (xy.size() == 4) {
            const Box b{xy[0], xy[1], xy[2], xy[3]};
            return rle_to_dict(rle::rasterise_box(b, h, w, scratch), text);
        }
        return rle_to_dict(rle::rasterise_polygon(xy, h, w, scratch), text);
    }
    const Py_ssize_t len = PyObject_Length(first);
    if (len < 0) throw ErrorAlreadySet{};
    if (len == 4) {
        const mask::BoxesOrRles bb = read_boxes_or_rles(items);
        if (bb.is_rles) throw type_error("expected bounding boxes");
        return boxes_to_list(bb.boxes, h, w);
    }
    return polygons_to_list(items, h, w);
}

Ref to_boundary_impl(PyObject*, const BoundArgs& args) {
    const double ratio = args.convert(1, to_f64);
    const std::vector<Rle> rles = read_rle_list(args[0]);
    Ref list = new_list(rles.size());
    std::string text;
    for (std::size_t i = 0; i < rles.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        rle_to_dict(rle::boundary(rles[i], ratio), text).release());
    return list;
}

}  // namespace

const Callable encode_fn{"encode", "encode(mask)\n--\n\n", encode_impl};
const Callable decode_fn{"decode", "decode(rle_objs)\n--\n\n", decode_impl};
const Callable merge_fn{"merge", "merge(rle_objs, intersect=0)\n--\n\n", merge_impl};
const Callable area_fn{"area", "area(rle_objs)\n--\n\n", area_impl};
const Callable to_bbox_fn{"toBbox", "toBbox(rle_objs)\n--\n\n", to_bbox_impl};
const Callable iou_fn{"iou", "iou(dt, gt, iscrowd)\n--\n\n", iou_impl};
const Callable fr_bbox_fn{"frBbox", "frBbox(bb, h, w)\n--\n\n", fr_bbox_impl};
const Callable fr_poly_fn{"frPoly", "frPoly(poly, h, w)\n--\n\n", fr_poly_impl};
const Callable fr_uncompressed_rle_fn{"frUncompressedRLE", "frUncompressedRLE(uc, _h, _w)\n--\n\n",
                                      fr_uncompressed_rle_impl};
const Callable fr_py_objects_fn{"frPyObjects", "frPyObjects(obj, h, w)\n--\n\n", fr_py_objects_impl};
const Callable to_boundary_fn{"toBoundary",
                              "toBoundary(rle_objs, dilation_ratio=0.02)\n--\n\n"
                              "Extension: boundary mask of an RLE, for Boundary IoU.",
                              to_boundary_impl};

}  // namespace brandor::py
