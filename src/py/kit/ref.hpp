// Ref: the owning handle for a PyObject*. Every owned reference in feature code
// lives in one; taking ownership (steal), adding a reference (borrow) and giving
// ownership away (release) are always spelled out.
#pragma once

#include <utility>

#include "py/kit/python.hpp"

namespace brandor::py {

// Thrown after a CPython call failed and left its exception set.
struct ErrorAlreadySet {};

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes ownership of a new reference; a null result means the call failed.
    static Ref steal(PyObject* p) {
        if (!p) throw ErrorAlreadySet{};
        Ref r;
        r.p_ = p;
        return r;
    }
    // Like steal, but a null pointer is kept as an empty handle.
    static Ref steal_or_null(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }
    // Adds a reference to a borrowed pointer.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return steal_or_null(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Throws ErrorAlreadySet when a CPython call returned its failure value.
inline void check(int status) {
    if (status < 0) throw ErrorAlreadySet{};
}

}  // namespace brandor::py
