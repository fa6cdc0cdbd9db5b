#include "py/mask/readers.hpp"

#include <cstring>

#include "core/error.hpp"
#include "py/kit/convert.hpp"
#include "py/kit/numpy.hpp"
#include "py/mask/rle_dict.hpp"

namespace brandor::py::mask {

std::vector<Ref> collect_items(PyObject* iterable) {
    std::vector<Ref> items;
    if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(iterable);
        items.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) items.push_back(Ref::borrow(PySequence_Fast_GET_ITEM(iterable, i)));
        return items;
    }
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    for (;;) {
        Ref item = Ref::steal_or_null(PyIter_Next(it.get()));
        if (!item) {
            if (PyErr_Occurred()) throw ErrorAlreadySet{};
            break;
        }
        items.push_back(std::move(item));
    }
    return items;
}

std::vector<rle::Rle> read_rle_list(PyObject* rle_objs) {
    const std::vector<Ref> items = collect_items(rle_objs);
    std::vector<rle::Rle> out;
    out.reserve(items.size());
    for (const Ref& item : items) out.push_back(rle_from_dict(item.get()));
    return out;
}

bool is_float64_array(PyObject* obj) {
    if (!PyArray_Check(obj)) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(obj);
    return PyArray_TYPE(a) == NPY_FLOAT64 && PyArray_ISNOTSWAPPED(a);
}

namespace {

BoxesOrRles boxes_from_array(PyArrayObject* a) {
    if (PyArray_NDIM(a) != 2 || PyArray_DIM(a, 1) != 4)
        throw value_error("numpy ndarray input is only for *bounding boxes* and should have Nx4 dimension");
    BoxesOrRles out;
    const npy_intp n = PyArray_DIM(a, 0);
    const npy_intp s0 = PyArray_STRIDE(a, 0), s1 = PyArray_STRIDE(a, 1);
    const char* base = static_cast<const char*>(PyArray_DATA(a));
    out.boxes.resize(static_cast<std::size_t>(n));
    for (npy_intp i = 0; i < n; ++i)
        for (npy_intp j = 0; j < 4; ++j)
            std::memcpy(&out.boxes[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)],
                        base + i * s0 + j * s1, sizeof(double));
    return out;
}

// Four numbers, or false with no Python error left set.
bool read_box(PyObject* item, rle::Box& box) {
    std::vector<double> v;
    try {
        v = to_f64_vector(item);
    } catch (const Error&) {
        return false;
    } catch (const ErrorAlreadySet&) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw;
        PyErr_Clear();
        return false;
    }
    if (v.size() != 4) return false;
    std::memcpy(box.data(), v.data(), sizeof(box));
    return true;
}

}  // namespace

BoxesOrRles read_boxes_or_rles(const std::vector<Ref>& items) {
    BoxesOrRles out;
    if (items.empty()) return out;
    if (PyDict_Check(items[0].get())) {
        out.is_rles = true;
        out.rles.reserve(items.size());
        for (const Ref& item : items) out.rles.push_back(rle_from_dict(item.get()));
        return out;
    }
    out.boxes.resize(items.size());
    for (std::size_t i = 0; i < items.size(); ++i)
        if (!read_box(items[i].get(), out.boxes[i]))
            throw value_error("list input can be bounding box (Nx4) or RLEs ([RLE])");
    return out;
}

BoxesOrRles read_boxes_or_rles(PyObject* obj) {
    if (is_float64_array(obj)) return boxes_from_array(reinterpret_cast<PyArrayObject*>(obj));
    return read_boxes_or_rles(collect_items(obj));
}

}  // namespace brandor::py::mask
