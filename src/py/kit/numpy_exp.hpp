// NumPy's own float64 exponential for native code. NumPy picks its exp kernel
// at run time from the processor's features, and those kernels differ from the
// C library's exp in the last bit, so values that must equal what NumPy
// computes go through the very loop NumPy uses in this process.
#pragma once

#include "core/eval/vector_exp.hpp"

namespace brandor::py {

// Resolves `numpy.exp`'s float64 loop on first call (interpreter lock held) and
// returns it; the result may then be called from any thread without the lock.
// If the loop cannot be resolved, or does not reproduce `numpy.exp` on a probe,
// the returned function calls `numpy.exp` itself under the interpreter lock.
eval::VectorExp numpy_exp();

}  // namespace brandor::py
