// The shared argument converters. Each takes a borrowed object and returns a
// native value or throws (brandor::Error, or ErrorAlreadySet after a failed
// CPython call); BoundArgs::convert adds the argument's note.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "py/kit/ref.hpp"

namespace brandor::py {

// The type name CPython uses in its own messages.
inline const char* type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }

// TypeError "'X' object is not an instance of 'Y'" ("'None' is not ..." for None).
[[noreturn]] void not_an_instance(PyObject* o, const char* expected);

// The object must be an instance of `type` (or a subtype).
void expect_type(PyObject* o, PyTypeObject* type, const char* expected_name);

int64_t to_i64(PyObject* o);   // int or __index__
uint64_t to_u64(PyObject* o);  // int or __index__, 0 .. 2^64-1
uint32_t to_u32(PyObject* o);  // int or __index__, 0 .. 2^32-1
double to_f64(PyObject* o);    // as Python's float()
bool to_bool(PyObject* o);     // bool, or a NumPy bool_ by its truth value
std::string_view to_text(PyObject* o);  // str only; valid while `o` lives

// The object must support the sequence protocol and not be a str.
// Returns its length.
std::size_t sequence_length(PyObject* o);

// Sequence of values: the length is taken first to size the result, then the
// object is iterated and each element converted; the first failure wins.
template <class T, class Converter>
std::vector<T> to_vector(PyObject* o, Converter&& element) {
    std::size_t n = sequence_length(o);
    std::vector<T> out;
    out.reserve(n);
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
        // Items are read by position; a list may change size while converting.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o); ++i) {
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(o, i));
            out.push_back(element(item.get()));
        }
        return out;
    }
    Ref it = Ref::steal(PyObject_GetIter(o));
    while (true) {
        Ref item = Ref::steal_or_null(PyIter_Next(it.get()));
        if (!item) {
            if (PyErr_Occurred()) throw ErrorAlreadySet{};
            break;
        }
        out.push_back(element(item.get()));
    }
    return out;
}

inline std::vector<double> to_f64_vector(PyObject* o) { return to_vector<double>(o, to_f64); }
inline std::vector<int64_t> to_i64_vector(PyObject* o) { return to_vector<int64_t>(o, to_i64); }
inline std::vector<uint64_t> to_u64_vector(PyObject* o) { return to_vector<uint64_t>(o, to_u64); }
inline std::vector<uint32_t> to_u32_vector(PyObject* o) { return to_vector<uint32_t>(o, to_u32); }

// A tuple (or subtype) of exactly `n` items; returns it borrowed.
PyObject* expect_tuple(PyObject* o, std::size_t n);

}  // namespace brandor::py
