// Evaluator.run, Evaluator.per_instance and Evaluator.timings: evaluate with
// the interpreter lock released, then turn the engine's buffers into Python
// objects, NumPy arrays taking the buffers over without copies.
#include <cstring>
#include <span>
#include <utility>

#include "core/error.hpp"
#include "core/eval/evaluate.hpp"
#include "py/evaluator/evaluator.hpp"
#include "py/kit/keys.hpp"
#include "py/kit/convert.hpp"
#include "py/kit/gc_pause.hpp"
#include "py/kit/gil.hpp"
#include "py/kit/numpy.hpp"

namespace brandor::py {
namespace {

using eval::EvalImage;

Ref int_object(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }
Ref uint_object(unsigned long long v) { return Ref::steal(PyLong_FromUnsignedLongLong(v)); }
Ref float_object(double v) { return Ref::steal(PyFloat_FromDouble(v)); }

void set_item(PyObject* dict, PyObject* key_object, const Ref& value) {
    check(PyDict_SetItem(dict, key_object, value.get()));
}
void set_item(PyObject* dict, const char* key_text, const Ref& value) {
    check(PyDict_SetItemString(dict, key_text, value.get()));
}

template <class T, class Make>
Ref list_of(std::span<const T> values, Make make) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), make(values[i]).release());
    return list;
}

// A float64 array owned by NumPy holding a copy of `values`: for the many
// tiny arrays of the per-image records this costs less than handing each
// buffer over, and the copy is a few dozen bytes.
Ref record_array(std::span<const double> values, std::initializer_list<npy_intp> dims) {
    Ref array = Ref::steal(PyArray_SimpleNew(static_cast<int>(dims.size()), const_cast<npy_intp*>(dims.begin()),
                                             NPY_FLOAT64));
    if (!values.empty())
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), values.data(),
                    values.size() * sizeof(double));
    return array;
}

// Builds the per-image dicts of one run. Arrays without elements are shared
// between records of the same shape: they cannot be written to, and most
// records have no ground truth (or no detection) of their category.
class RecordBuilder {
public:
    explicit RecordBuilder(npy_intp thresholds) : T_(thresholds) {}

    Ref build(const EvalImage& e) {
        const npy_intp D = static_cast<npy_intp>(e.D), G = static_cast<npy_intp>(e.G);
        Ref d = Ref::steal(PyDict_New());
        PyObject* o = d.get();
        set_item(o, key(Key::RecImageId), int_object(e.image_id));
        set_item(o, key(Key::RecCategoryId), int_object(e.category_id));
        set_item(o, key(Key::ARng), uint_object(e.area_index));
        set_item(o, key(Key::MaxDet), uint_object(e.max_det));
        set_item(o, key(Key::DtIds), list_of(e.dt_ids(), int_object));
        set_item(o, key(Key::GtIds), list_of(e.gt_ids(), int_object));
        set_item(o, key(Key::DtScores), list_of(e.dt_scores(), float_object));
        set_item(o, key(Key::DtMatches), D ? record_array(e.dt_matches(), {T_, D}) : empty(empty_td_));
        set_item(o, key(Key::GtMatches), G ? record_array(e.gt_matches(), {T_, G}) : empty(empty_td_));
        set_item(o, key(Key::GtIgnore), G ? record_array(e.gt_ignore(), {G}) : empty(empty_flat_, true));
        set_item(o, key(Key::DtIgnore), D ? record_array(e.dt_ignore(), {T_, D}) : empty(empty_td_));
        return d;
    }

private:
    Ref empty(Ref& slot, bool flat = false) {
        if (!slot) slot = flat ? record_array({}, {0}) : record_array({}, {T_, 0});
        return slot;
    }

    npy_intp T_;
    Ref empty_td_;    // shape (T, 0)
    Ref empty_flat_;  // shape (0,)
};


Ref run(PyObject* self, const BoundArgs& args) {
    const bool collect = args.convert(0, to_bool);
    EvaluatorObject& obj = EvaluatorObject::of(self);
    SharedBorrow borrow(obj.borrow);
    const eval::EvaluatorCore& core = *obj.value;
    eval::EvalResult result = without_gil([&] { return eval::evaluate_all(core, collect); });

    eval::EvalArrays& a = result.arrays;
    const npy_intp T = static_cast<npy_intp>(a.T), R = static_cast<npy_intp>(a.R), K = static_cast<npy_intp>(a.K),
                   A = static_cast<npy_intp>(a.A), M = static_cast<npy_intp>(a.M);
    Ref out = Ref::steal(PyDict_New());
    const std::int64_t counts[] = {T, R, K, A, M};
    set_item(out.get(), "counts", list_of(std::span<const std::int64_t>(counts), int_object));
    set_item(out.get(), "precision", array_from_vector(std::move(a.precision), {T, R, K, A, M}));
    set_item(out.get(), "recall", array_from_vector(std::move(a.recall), {T, K, A, M}));
    set_item(out.get(), "scores", array_from_vector(std::move(a.scores), {T, R, K, A, M}));
    if (collect) {
        GcPause pause;
        const std::size_t slots = result.eval_img_slots;
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(slots)));
        RecordBuilder records(T);
        std::size_t next = 0;  // first position not filled yet
        auto fill_none = [&](std::size_t end) {
            for (; next < end; ++next)
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(next), Ref::borrow(Py_None).release());
        };
        for (auto& placed : result.eval_imgs) {
            if (placed.position < next || placed.position >= slots)
                throw InternalError("per-image records out of order");
            fill_none(placed.position);
            Ref item = records.build(*placed.record);
            placed.record.reset();
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(next++), item.release());
        }
        fill_none(slots);
        set_item(out.get(), "evalImgs", list);
    }
    return out;
}

Ref per_instance(PyObject* self, const BoundArgs& args) {
    const std::uint64_t t_idx = args.convert(0, to_u64);
    const std::uint64_t a_idx = args.convert(1, to_u64);
    const std::uint64_t max_det = args.convert(2, to_u64);
    EvaluatorObject& obj = EvaluatorObject::of(self);
    SharedBorrow borrow(obj.borrow);
    const eval::EvaluatorCore& core = *obj.value;
    eval::PerInstanceRows rows = without_gil([&] {
        return eval::per_instance(core, static_cast<std::size_t>(t_idx), static_cast<std::size_t>(a_idx), max_det);
    });

    const npy_intp nd = static_cast<npy_intp>(rows.dt_id.size()), ng = static_cast<npy_intp>(rows.gt_id.size());
    Ref dts = Ref::steal(PyDict_New());
    set_item(dts.get(), "image_id", array_from_vector(std::move(rows.dt_image_id), {nd}));
    set_item(dts.get(), "category_id", array_from_vector(std::move(rows.dt_category_id), {nd}));
    set_item(dts.get(), "dt_id", array_from_vector(std::move(rows.dt_id), {nd}));
    set_item(dts.get(), "gt_id", array_from_vector(std::move(rows.dt_gt_id), {nd}));
    set_item(dts.get(), "score", array_from_vector(std::move(rows.dt_score), {nd}));
    set_item(dts.get(), "iou", array_from_vector(std::move(rows.dt_iou), {nd}));
    set_item(dts.get(), "ignore", array_from_vector(std::move(rows.dt_ignore), {nd}, nullptr, NPY_BOOL));
    Ref gts = Ref::steal(PyDict_New());
    set_item(gts.get(), "image_id", array_from_vector(std::move(rows.gt_image_id), {ng}));
    set_item(gts.get(), "category_id", array_from_vector(std::move(rows.gt_category_id), {ng}));
    set_item(gts.get(), "gt_id", array_from_vector(std::move(rows.gt_id), {ng}));
    set_item(gts.get(), "ignore", array_from_vector(std::move(rows.gt_ignore), {ng}, nullptr, NPY_BOOL));
    set_item(gts.get(), "matched", array_from_vector(std::move(rows.gt_matched), {ng}, nullptr, NPY_BOOL));
    return Ref::steal(PyTuple_Pack(2, dts.get(), gts.get()));
}

Ref timings(PyObject* self, const BoundArgs&) {
    EvaluatorObject& obj = EvaluatorObject::of(self);
    SharedBorrow borrow(obj.borrow);
    const eval::PhaseTimings& t = obj.value->timings;
    const std::pair<const char*, const std::atomic<std::uint64_t>*> counters[] = {
        {"gt_read", &t.gt_read},         {"dt_read", &t.dt_read},     {"read_blocked", &t.read_blocked},
        {"rasterise", &t.rasterise},     {"group_index", &t.group_index}, {"iou_cpu", &t.iou_cpu},
        {"match_cpu", &t.match_cpu},     {"accumulate_cpu", &t.accumulate_cpu},
    };
    Ref out = Ref::steal(PyDict_New());
    for (const auto& [name, counter] : counters)
        set_item(out.get(), name, float_object(static_cast<double>(counter->load()) / 1e9));
    return out;
}

}  // namespace

const Callable evaluator_run_fn{
    "Evaluator.run",
    "run($self, collect_eval_imgs=False)\n--\n\n"
    "Run evaluation and accumulation, returning the arrays pycocotools\nstores in `COCOeval.eval`.",
    run};

const Callable evaluator_timings_fn{
    "Evaluator.timings",
    "timings($self)\n--\n\n"
    "Seconds spent per phase, as a dict. Reading and indexing are measured once,\n"
    "at construction; the `_cpu` phases add the time of every worker task of\n"
    "every run, so with several threads they can exceed wall-clock time.",
    timings};

const Callable evaluator_per_instance_fn{
    "Evaluator.per_instance",
    "per_instance($self, t_idx=0, a_idx=0, max_det=100)\n--\n\n"
    "Per-instance verdicts at one setting, column-wise.\n\n"
    "Returns `(detections, ground_truths)`, each a dict of numpy arrays. The\n"
    "column form is not a stylistic choice: a COCO-scale run has hundreds of\n"
    "thousands of instances and building dicts for them costs more than the\n"
    "evaluation did.",
    per_instance};

}  // namespace brandor::py
