#include "py/alloc_api.hpp"

#include "core/alloc/counters.hpp"

namespace brandor::py {

namespace {

void set_u64(PyObject* dict, const char* key, uint64_t value) {
    Ref v = Ref::steal(PyLong_FromUnsignedLongLong(value));
    check(PyDict_SetItemString(dict, key, v.get()));
}

Ref alloc_stats_impl(PyObject*, const BoundArgs&) {
    alloc::Stats s = alloc::stats();
    Ref dict = Ref::steal(PyDict_New());
    check(PyDict_SetItemString(dict.get(), "enabled", s.enabled ? Py_True : Py_False));
    set_u64(dict.get(), "live_bytes", s.live_bytes);
    set_u64(dict.get(), "peak_bytes", s.peak_bytes);
    set_u64(dict.get(), "total_allocated_bytes", s.total_allocated_bytes);
    set_u64(dict.get(), "allocations", s.allocations);
    set_u64(dict.get(), "frees", s.frees);
    return dict;
}

Ref reset_alloc_peak_impl(PyObject*, const BoundArgs&) {
    alloc::reset_peak();
    return Ref::borrow(Py_None);
}

}  // namespace

const Callable alloc_stats_fn{
    "alloc_stats",
    "alloc_stats()\n--\n\n"
    "The native code's allocation counters: live, peak and total bytes, allocations and frees.\n"
    "\n"
    "`enabled` is false unless the extension was built with the `alloc-stats`\n"
    "feature, in which case every other field is zero and should be ignored\n"
    "rather than reported as \"no allocations\".",
    alloc_stats_impl};

const Callable reset_alloc_peak_fn{
    "reset_alloc_peak",
    "reset_alloc_peak()\n--\n\n"
    "Drop the allocation high-water mark to the current live figure, so the\n"
    "next phase can be measured on its own.",
    reset_alloc_peak_impl};

}  // namespace brandor::py
