// Releases the interpreter lock for the lifetime of the guard. Code inside the
// scope must not touch any Python object; the lock is taken back on every exit
// path, including exceptions.
#pragma once

#include "py/kit/python.hpp"

namespace brandor::py {

class AllowThreads {
public:
    AllowThreads() noexcept : state_(PyEval_SaveThread()) {}
    ~AllowThreads() { PyEval_RestoreThread(state_); }
    AllowThreads(const AllowThreads&) = delete;
    AllowThreads& operator=(const AllowThreads&) = delete;

private:
    PyThreadState* state_;
};

// Runs f with the interpreter lock released and returns its result.
template <class F>
auto without_gil(F&& f) {
    AllowThreads released;
    return f();
}

}  // namespace brandor::py
