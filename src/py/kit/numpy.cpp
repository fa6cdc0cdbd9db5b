#define BRANDOR_NUMPY_IMPORT_UNIT
#include "py/kit/numpy.hpp"

#include <string>

#include "core/error.hpp"
#include "py/kit/convert.hpp"

namespace brandor::py {

void import_numpy() {
    if (PyArray_API) return;
    if (_import_array() < 0) throw ErrorAlreadySet{};
}

namespace detail {

Ref array_over(void* data, int typenum, std::initializer_list<npy_intp> dims,
               const npy_intp* strides, Ref owner) {
    PyArray_Descr* descr = PyArray_DescrFromType(typenum);  // new reference, stolen below
    if (!descr) throw ErrorAlreadySet{};
    npy_intp count = 1;
    for (npy_intp d : dims) count *= d;
    // An empty buffer may have no address; NumPy then allocates its own (empty) block.
    void* buffer = count == 0 ? nullptr : data;
    Ref array = Ref::steal(PyArray_NewFromDescr(
        &PyArray_Type, descr, static_cast<int>(dims.size()), const_cast<npy_intp*>(dims.begin()),
        buffer ? const_cast<npy_intp*>(strides) : nullptr, buffer,
        buffer ? NPY_ARRAY_WRITEABLE : 0, nullptr));
    if (buffer) {
        if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) < 0)
            throw ErrorAlreadySet{};
        PyArray_UpdateFlags(reinterpret_cast<PyArrayObject*>(array.get()), NPY_ARRAY_UPDATE_ALL);
    }
    return array;
}

}  // namespace detail

PyArrayObject* expect_array(PyObject* o, int typenum, const char* dtype_name) {
    if (!PyArray_Check(o)) not_an_instance(o, "ndarray");
    auto* array = reinterpret_cast<PyArrayObject*>(o);
    if (PyArray_TYPE(array) != typenum) {
        Ref got = Ref::steal(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array))));
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(got.get(), &len);
        if (!text) throw ErrorAlreadySet{};
        throw type_error(std::string("expected a numpy.ndarray of dtype ") + dtype_name +
                         ", got dtype " + std::string(text, static_cast<std::size_t>(len)));
    }
    return array;
}

}  // namespace brandor::py
