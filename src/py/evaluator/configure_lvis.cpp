// Evaluator.configure_lvis: converts the federated flags, then installs them
// under an exclusive borrow, so no run on another thread reads them mid-change.
#include "core/eval/lvis_flags.hpp"
#include "py/evaluator/evaluator.hpp"
#include "py/kit/convert.hpp"

namespace brandor::py {
namespace {

std::pair<std::int64_t, std::int64_t> read_pair(PyObject* o) {
    PyObject* t = expect_tuple(o, 2);
    return {to_i64(PyTuple_GET_ITEM(t, 0)), to_i64(PyTuple_GET_ITEM(t, 1))};
}

Ref configure_lvis(PyObject* self, const BoundArgs& args) {
    eval::LvisFlags flags;
    flags.gt_ignore = args.convert(0, [](PyObject* o) {
        return to_vector<std::uint8_t>(o, [](PyObject* item) { return static_cast<std::uint8_t>(to_bool(item)); });
    });
    flags.non_exhaustive = args.convert(1, [](PyObject* o) {
        return to_vector<std::pair<std::int64_t, std::int64_t>>(o, read_pair);
    });
    flags.preserve_crowds = args.convert(2, to_bool);
    EvaluatorObject& obj = EvaluatorObject::of(self);
    ExclusiveBorrow borrow(obj.borrow);
    eval::apply_lvis_flags(*obj.value, flags);
    return Ref::borrow(Py_None);
}

}  // namespace

const Callable evaluator_configure_lvis_fn{
    "Evaluator.configure_lvis",
    "configure_lvis($self, gt_ignore, non_exhaustive, preserve_crowds=False)\n--\n\n",
    configure_lvis};

}  // namespace brandor::py
