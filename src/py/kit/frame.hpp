// The calling frame that every exported callable runs inside: the
// implementation returns a new reference or throws; the frame turns what it
// throws into the current Python exception and returns null. Nothing may
// escape it (noexcept: an escape aborts the process).
#pragma once

#include <exception>

#include "py/kit/errors.hpp"

namespace brandor::py {

template <class F>
PyObject* call_frame(F&& implementation) noexcept {
    try {
        Ref result = implementation();
        return result.release();
    } catch (...) {
        set_python_error(std::current_exception());
        return nullptr;
    }
}

// The same for slots that return an int status (0 success, -1 failure).
template <class F>
int call_frame_status(F&& implementation) noexcept {
    try {
        implementation();
        return 0;
    } catch (...) {
        set_python_error(std::current_exception());
        return -1;
    }
}

}  // namespace brandor::py
