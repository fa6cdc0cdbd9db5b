// Holds off CPython's cyclic garbage collector for a scope that creates many
// containers but no garbage and runs no Python code (building a document or a
// list of records): every few thousand new containers would otherwise start a
// collection that walks all the objects the process holds. The previous state
// is restored on every way out.
#pragma once

#include "py/kit/python.hpp"

namespace brandor::py {

class GcPause {
public:
    GcPause() noexcept : was_enabled_(PyGC_Disable()) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    int was_enabled_;
};

}  // namespace brandor::py
