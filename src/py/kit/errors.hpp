// Turning native failures into Python exceptions. Only the calling frame and
// the argument converters use these; feature code throws brandor::Error,
// brandor::InternalError or ErrorAlreadySet.
#pragma once

#include <exception>

#include "core/error.hpp"
#include "py/kit/ref.hpp"

namespace brandor::py {

// The PanicException class (a BaseException subclass), created on first need.
PyObject* panic_exception_type();

// Sets the current Python exception from the exception being handled
// (call inside a catch block or with a captured exception_ptr).
void set_python_error(std::exception_ptr failure) noexcept;

// Adds the note text to the currently set exception.
void add_note_to_current(const char* note) noexcept;

// Takes the currently set Python exception (if any) aside, so that more
// Python calls can run, and sets it again when restored or destroyed.
class SetAsideError {
public:
    SetAsideError() noexcept;
    ~SetAsideError() { restore(); }
    void restore() noexcept;
    SetAsideError(const SetAsideError&) = delete;
    SetAsideError& operator=(const SetAsideError&) = delete;

private:
    PyObject* type_ = nullptr;  // used before 3.12 only
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;  // used before 3.12 only
};

}  // namespace brandor::py
