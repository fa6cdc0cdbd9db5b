// The float64 exponential that keypoint similarity applies to each pair's
// buffer of terms. Its values must be those of the array library the reference
// computes with, whose kernel is chosen at run time from the processor's
// features, so the binding installs that library's own loop here; the engine
// never substitutes another exponential for it.
#pragma once

#include <cstddef>

#include "core/error.hpp"

namespace brandor::eval {

struct VectorExp {
    // Writes exp(in[i]) to out[i] for i < n; in and out do not overlap.
    using Fn = void (*)(const double* in, double* out, std::size_t n, const void* context);
    Fn fn = nullptr;
    const void* context = nullptr;

    void operator()(const double* in, double* out, std::size_t n) const {
        if (!fn) throw InternalError("no exponential installed for keypoint similarity");
        fn(in, out, n, context);
    }
};

}  // namespace brandor::eval
