#include "py/kit/numpy_exp.hpp"

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "py/kit/numpy.hpp"

#define NO_IMPORT_UFUNC
#include <numpy/ufuncobject.h>

namespace brandor::py {
namespace {

struct Loop {
    PyUFuncGenericFunction fn = nullptr;
    void* data = nullptr;
};

// Both live until the process ends, like the interned keys: the resolved loop
// and the `numpy.exp` object the fallback calls.
Loop direct_loop;
PyObject* exp_object = nullptr;
bool resolved = false;

void exp_by_loop(const double* in, double* out, std::size_t n, const void* context) {
    const auto* loop = static_cast<const Loop*>(context);
    char* args[2] = {reinterpret_cast<char*>(const_cast<double*>(in)), reinterpret_cast<char*>(out)};
    const npy_intp dims[1] = {static_cast<npy_intp>(n)};
    const npy_intp steps[2] = {sizeof(double), sizeof(double)};
    loop->fn(args, dims, steps, loop->data);
}

// exp of in[0..n) by calling `fn` on a fresh float64 array; writes out[0..n).
// Throws ErrorAlreadySet when the call fails or does not give n float64 values.
void call_exp(PyObject* fn, const double* in, double* out, std::size_t n) {
    npy_intp dim = static_cast<npy_intp>(n);
    Ref arg = Ref::steal(PyArray_SimpleNew(1, &dim, NPY_DOUBLE));
    if (n) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arg.get())), in, n * sizeof(double));
    Ref result = Ref::steal(PyObject_CallOneArg(fn, arg.get()));
    Ref values = Ref::steal(PyArray_FROMANY(result.get(), NPY_DOUBLE, 1, 1, NPY_ARRAY_CARRAY_RO));
    auto* array = reinterpret_cast<PyArrayObject*>(values.get());
    if (PyArray_SIZE(array) != dim) {
        PyErr_SetString(PyExc_ValueError, "numpy.exp returned an array of another length");
        throw ErrorAlreadySet{};
    }
    if (n) std::memcpy(out, PyArray_DATA(array), n * sizeof(double));
}

// The fallback: NumPy's values through a Python call, taking the interpreter
// lock (the engine calls this from worker threads with the lock released).
void exp_by_calling(const double* in, double* out, std::size_t n, const void* context) {
    PyGILState_STATE state = PyGILState_Ensure();
    std::string failure;
    try {
        call_exp(static_cast<PyObject*>(const_cast<void*>(context)), in, out, n);
    } catch (const ErrorAlreadySet&) {
        failure = "numpy.exp failed during keypoint similarity";
        PyErr_Clear();
    } catch (...) {
        failure = "numpy.exp could not be called during keypoint similarity";
    }
    PyGILState_Release(state);
    if (!failure.empty()) throw InternalError(failure);
}

// Finds the double -> double loop of a ufunc object; an empty Loop if it has none.
Loop double_loop(PyObject* candidate, PyObject* ufunc_type) {
    if (!PyType_Check(ufunc_type) || !Py_IS_TYPE(candidate, reinterpret_cast<PyTypeObject*>(ufunc_type)))
        return {};
    const auto* u = reinterpret_cast<const PyUFuncObject*>(candidate);
    if (u->nin != 1 || u->nout != 1 || u->nargs != 2 || !u->functions || !u->types) return {};
    for (int i = 0; i < u->ntypes; ++i)
        if (u->types[2 * i] == NPY_DOUBLE && u->types[2 * i + 1] == NPY_DOUBLE && u->functions[i])
            return Loop{u->functions[i], u->data ? u->data[i] : nullptr};
    return {};
}

// Arguments where exp kernels are known to disagree in the last bit (the
// range of keypoint exponents), spread over the range that neither overflows
// nor underflows (so that the probe raises no floating-point warning under any
// numpy.seterr), and edge values.
std::vector<double> probe_arguments() {
    std::vector<double> x;
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (int i = 0; i < 4096; ++i) {
        state ^= state << 13, state ^= state >> 7, state ^= state << 17;
        const double u = static_cast<double>(state >> 11) * 0x1.0p-53;
        x.push_back(i < 3072 ? -3.0 * u : -700.0 * u);
    }
    for (double v : {0.0, -0.0, -1e-300, -5e-324, -700.0, 1.0, 700.0}) x.push_back(v);
    x.push_back(-std::numeric_limits<double>::infinity());
    x.push_back(std::numeric_limits<double>::quiet_NaN());
    return x;
}

// True when the loop gives exactly the bits that calling `numpy.exp` gives.
bool loop_agrees(const Loop& loop, PyObject* fn) {
    const std::vector<double> x = probe_arguments();
    std::vector<double> by_loop(x.size()), by_call(x.size());
    exp_by_loop(x.data(), by_loop.data(), x.size(), &loop);
    call_exp(fn, x.data(), by_call.data(), x.size());
    return std::memcmp(by_loop.data(), by_call.data(), x.size() * sizeof(double)) == 0;
}

}  // namespace

eval::VectorExp numpy_exp() {
    if (!resolved) {
        import_numpy();
        Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
        Ref fn = Ref::steal(PyObject_GetAttrString(numpy.get(), "exp"));
        Ref ufunc_type = Ref::steal(PyObject_GetAttrString(numpy.get(), "ufunc"));
        Loop loop = double_loop(fn.get(), ufunc_type.get());
        if (loop.fn && loop_agrees(loop, fn.get())) direct_loop = loop;
        exp_object = fn.release();
        resolved = true;
    }
    if (direct_loop.fn) return eval::VectorExp{exp_by_loop, &direct_loop};
    return eval::VectorExp{exp_by_calling, exp_object};
}

}  // namespace brandor::py
