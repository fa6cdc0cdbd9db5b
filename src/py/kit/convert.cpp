#include "py/kit/convert.hpp"

#include <cstring>
#include <limits>

#include "core/error.hpp"

namespace brandor::py {

void not_an_instance(PyObject* o, const char* expected) {
    if (o == Py_None) throw type_error(std::string("'None' is not an instance of '") + expected + "'");
    throw type_error(std::string("'") + type_name(o) + "' object is not an instance of '" +
                     expected + "'");
}

void expect_type(PyObject* o, PyTypeObject* type, const char* expected_name) {
    if (!PyObject_TypeCheck(o, type)) not_an_instance(o, expected_name);
}

namespace {

// A Python int for `o`: itself, or the result of __index__.
Ref as_index(PyObject* o) {
    if (PyLong_Check(o)) return Ref::borrow(o);
    return Ref::steal(PyNumber_Index(o));
}

}  // namespace

int64_t to_i64(PyObject* o) {
    Ref v = as_index(o);
    long long x = PyLong_AsLongLong(v.get());
    if (x == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
    return static_cast<int64_t>(x);
}

uint64_t to_u64(PyObject* o) {
    Ref v = as_index(o);
    unsigned long long x = PyLong_AsUnsignedLongLong(v.get());
    if (x == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw ErrorAlreadySet{};
    return static_cast<uint64_t>(x);
}

uint32_t to_u32(PyObject* o) {
    Ref v = as_index(o);
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
    if (x == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
    if (overflow != 0 || x < 0 || x > static_cast<long long>(std::numeric_limits<uint32_t>::max()))
        throw overflow_error("out of range integral type conversion attempted");
    return static_cast<uint32_t>(x);
}

double to_f64(PyObject* o) {
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    double x = PyFloat_AsDouble(o);
    if (x == -1.0 && PyErr_Occurred()) throw ErrorAlreadySet{};
    return x;
}

bool to_bool(PyObject* o) {
    if (PyBool_Check(o)) return o == Py_True;
    const char* name = type_name(o);
    if (std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0) {
        int truth = PyObject_IsTrue(o);
        if (truth < 0) throw ErrorAlreadySet{};
        return truth != 0;
    }
    not_an_instance(o, "bool");
}

std::string_view to_text(PyObject* o) {
    if (!PyUnicode_Check(o)) not_an_instance(o, "str");
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &len);
    if (!s) throw ErrorAlreadySet{};
    return {s, static_cast<std::size_t>(len)};
}

std::size_t sequence_length(PyObject* o) {
    if (PyUnicode_Check(o)) throw type_error("a 'str' is not accepted as a sequence of values");
    if (!PySequence_Check(o)) not_an_instance(o, "Sequence");
    Py_ssize_t n = PySequence_Size(o);
    if (n < 0) throw ErrorAlreadySet{};
    return static_cast<std::size_t>(n);
}

PyObject* expect_tuple(PyObject* o, std::size_t n) {
    if (!PyTuple_Check(o)) not_an_instance(o, "tuple");
    std::size_t got = static_cast<std::size_t>(PyTuple_GET_SIZE(o));
    if (got != n)
        throw value_error("expected tuple of length " + std::to_string(n) +
                          ", but got tuple of length " + std::to_string(got));
    return o;
}

}  // namespace brandor::py
