// NumPy C API access for the module's units, and creation of arrays over
// native buffers: the buffer (a std::vector) moves into a capsule that
// becomes the array's base, so no element is copied and the array frees it.
#pragma once

#include "py/kit/ref.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL brandor_tarnel_ARRAY_API
#ifndef BRANDOR_NUMPY_IMPORT_UNIT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

namespace brandor::py {

// Imports NumPy's C API; called once from the module body.
void import_numpy();

template <class T> constexpr int numpy_type_of();
template <> constexpr int numpy_type_of<uint8_t>() { return NPY_UINT8; }
template <> constexpr int numpy_type_of<uint32_t>() { return NPY_UINT32; }
template <> constexpr int numpy_type_of<int64_t>() { return NPY_INT64; }
template <> constexpr int numpy_type_of<uint64_t>() { return NPY_UINT64; }
template <> constexpr int numpy_type_of<double>() { return NPY_FLOAT64; }

namespace detail {
Ref array_over(void* data, int typenum, std::initializer_list<npy_intp> dims,
               const npy_intp* strides, Ref owner);

template <class T>
void destroy_vector(PyObject* capsule) {
    delete static_cast<std::vector<T>*>(PyCapsule_GetPointer(capsule, nullptr));
}
}  // namespace detail

// An array of `dims` (row-major unless `strides` in bytes are given) over the
// contents of `values`, which the array takes over. `typenum` may override the
// element type of the same width (NPY_BOOL over uint8_t).
template <class T>
Ref array_from_vector(std::vector<T>&& values, std::initializer_list<npy_intp> dims,
                      const npy_intp* strides = nullptr, int typenum = numpy_type_of<T>()) {
    auto owned = std::make_unique<std::vector<T>>(std::move(values));
    void* data = owned->data();
    Ref capsule = Ref::steal(PyCapsule_New(owned.get(), nullptr, &detail::destroy_vector<T>));
    owned.release();  // the capsule owns it now
    return detail::array_over(data, typenum, dims, strides, std::move(capsule));
}

// The object must be a NumPy array whose dtype is exactly `typenum` (named
// `dtype_name` in the message); otherwise TypeError.
PyArrayObject* expect_array(PyObject* o, int typenum, const char* dtype_name);

}  // namespace brandor::py
