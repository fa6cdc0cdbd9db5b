// NativeObject<T>: the layout of a Python object that wraps one native record
// and nothing else, with the borrow state of its methods. Objects are created
// only from a finished record; the record is destroyed with the object.
#pragma once

#include <memory>
#include <new>

#include "py/kit/borrow.hpp"
#include "py/kit/ref.hpp"

namespace brandor::py {

template <class T>
struct NativeObject {
    PyObject_HEAD
    BorrowState borrow;
    std::unique_ptr<T> value;

    static NativeObject& of(PyObject* self) { return *reinterpret_cast<NativeObject*>(self); }

    // A new instance of `type` that owns `value`.
    static Ref create(PyTypeObject* type, std::unique_ptr<T> value) {
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) throw ErrorAlreadySet{};
        auto* obj = reinterpret_cast<NativeObject*>(self);
        new (&obj->borrow) BorrowState();
        new (&obj->value) std::unique_ptr<T>(std::move(value));
        return Ref::steal(self);
    }

    static void dealloc(PyObject* self) {
        auto* obj = reinterpret_cast<NativeObject*>(self);
        PyTypeObject* type = Py_TYPE(self);
        obj->value.~unique_ptr<T>();
        obj->borrow.~BorrowState();
        type->tp_free(self);
        Py_DECREF(type);  // heap types are referenced by their instances
    }
};

// Creates a heap type from `type_spec` on first use and keeps it for the process.
inline PyTypeObject* lazy_type(PyTypeObject*& slot, PyType_Spec& type_spec) {
    if (!slot) {
        PyObject* type = PyType_FromSpec(&type_spec);
        if (!type) throw ErrorAlreadySet{};
        slot = reinterpret_cast<PyTypeObject*>(type);
    }
    return slot;
}

}  // namespace brandor::py
