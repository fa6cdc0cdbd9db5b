#include "py/kit/errors.hpp"

#include <new>
#include <string>

namespace brandor::py {

namespace {

PyObject* python_type(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::Value: return PyExc_ValueError;
        case ErrorKind::Key: return PyExc_KeyError;
        case ErrorKind::Type: return PyExc_TypeError;
        case ErrorKind::Index: return PyExc_IndexError;
        case ErrorKind::OS: return PyExc_OSError;
        case ErrorKind::Overflow: return PyExc_OverflowError;
        case ErrorKind::Runtime: return PyExc_RuntimeError;
        case ErrorKind::Memory: return PyExc_MemoryError;
    }
    return PyExc_SystemError;
}

// The text used when an internal failure carries no message of its own.
constexpr const char* kGenericPanic = "internal error: native code failed without a message";

void raise_panic(const char* message) noexcept {
    PyObject* type = panic_exception_type();
    if (!type) return;  // creating the class failed; that error stays set
    PyErr_SetString(type, message ? message : kGenericPanic);
}

}  // namespace

PyObject* panic_exception_type() {
    // Lives until the process ends, like the module's type objects.
    static PyObject* type = nullptr;
    if (!type) {
        type = PyErr_NewExceptionWithDoc(
            "brandor._tarnel.PanicException",
            "An internal invariant of the native code failed. Derived from BaseException so "
            "that `except Exception` does not swallow it.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

void set_python_error(std::exception_ptr failure) noexcept {
    try {
        std::rethrow_exception(failure);
    } catch (const Error& e) {
        if (e.kind() == ErrorKind::Memory) {
            PyErr_NoMemory();
        } else {
            PyErr_SetString(python_type(e.kind()), e.message().c_str());
        }
    } catch (const ErrorAlreadySet&) {
        if (!PyErr_Occurred())
            raise_panic("internal error: a Python call failed without setting an exception");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic(nullptr);
    }
}

void add_note_to_current(const char* note) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
#else
    PyObject *type, *exc, *tb;
    PyErr_Fetch(&type, &exc, &tb);
    PyErr_NormalizeException(&type, &exc, &tb);
    if (tb && exc) PyException_SetTraceback(exc, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
#endif
    if (!exc) return;
    PyObject* result = PyObject_CallMethod(exc, "add_note", "s", note);
    if (result) {
        Py_DECREF(result);
    } else {
        PyErr_Clear();  // keep the original exception rather than the note's failure
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, nullptr);
#endif
}

SetAsideError::SetAsideError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    value_ = PyErr_GetRaisedException();
#else
    PyErr_Fetch(&type_, &value_, &traceback_);
#endif
}

void SetAsideError::restore() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    if (value_) PyErr_SetRaisedException(value_);
#else
    if (type_) PyErr_Restore(type_, value_, traceback_);
#endif
    type_ = value_ = traceback_ = nullptr;
}

}  // namespace brandor::py
