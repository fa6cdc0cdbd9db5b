#include "py/evaluator/evaluator.hpp"

namespace brandor::py {
namespace {

PyMethodDef kMethods[] = {
    method_def<evaluator_configure_lvis_fn>("configure_lvis"),
    method_def<evaluator_run_fn>("run"),
    method_def<evaluator_timings_fn>("timings"),
    method_def<evaluator_per_instance_fn>("per_instance"),
    method_def<evaluator_partial_fn>("partial"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&constructor<evaluator_new_fn>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&EvaluatorObject::dealloc)},
    {Py_tp_doc, const_cast<char*>(
                    "Evaluator(gt_anns, dt_anns, img_sizes, img_ids, cat_ids, iou_thrs, rec_thrs, max_dets, "
                    "area_rng, use_cats, iou_type, kpt_sigmas, use_area=True, boundary_dilation=0.02)\n--\n\n"
                    "The evaluation engine, constructed once from prepared annotations.")},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kTypeSpec = {
    "brandor._tarnel.Evaluator",
    static_cast<int>(sizeof(EvaluatorObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* evaluator_type() { return lazy_type(g_type, kTypeSpec); }

}  // namespace brandor::py
