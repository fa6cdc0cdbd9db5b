// Exposed callables. A `Callable` pairs a qualified name and a docstring (whose
// first line is the text signature) with its implementation; `fastcall<C>` is
// the METH_FASTCALL | METH_KEYWORDS entry point that binds the arguments and
// runs the implementation inside the calling frame.
#pragma once

#include <memory>

#include "py/kit/frame.hpp"
#include "py/kit/signature.hpp"

namespace brandor::py {

using Implementation = Ref (*)(PyObject* self, const BoundArgs& args);

struct Callable {
    const char* qualname;  // "encode", "Evaluator.run", "Evaluator.__new__"
    const char* doc;       // "name(params)\n--\n\n" followed by the description
    Implementation implementation;
};

// The parsed signature of a callable, built on its first call (with the
// interpreter lock held) and kept for the life of the process.
template <const Callable& C>
const Signature& signature_of() {
    static const Signature* sig = new Signature(C.qualname, C.doc);  // never freed, like a type object
    return *sig;
}

template <const Callable& C>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return call_frame([&] {
        const BoundArgs bound = bind(signature_of<C>(), args,
                                     static_cast<std::size_t>(PyVectorcall_NARGS(nargsf)), kwnames);
        return C.implementation(self, bound);
    });
}

// The tp_new entry point of a class whose constructor is `C`.
template <const Callable& C>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return call_frame([&] {
        const BoundArgs bound = bind(signature_of<C>(), args, kwargs);
        return C.implementation(reinterpret_cast<PyObject*>(type), bound);
    });
}

// The PyMethodDef of a callable, for module functions and methods alike.
template <const Callable& C>
constexpr PyMethodDef method_def(const char* python_name) {
    return PyMethodDef{python_name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall<C>)),
                       METH_FASTCALL | METH_KEYWORDS, C.doc};
}

}  // namespace brandor::py
