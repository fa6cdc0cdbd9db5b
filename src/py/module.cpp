// The module definition of brandor._tarnel and its registration tables:
// classes first, then functions, each in table order. Every name is appended
// to __all__ before the attribute is set.
#include <string>

#include "py/alloc_api.hpp"
#include "py/compact/compact_bbox.hpp"
#include "py/evaluator/evaluator.hpp"
#include "py/index.hpp"
#include "py/json_load.hpp"
#include "py/kit/callable.hpp"
#include "py/kit/convert.hpp"
#include "py/kit/numpy.hpp"
#include "py/mask/mask_api.hpp"
#include "py/summary.hpp"

namespace brandor::py {
namespace {

using TypeFactory = PyTypeObject* (*)();

struct ClassEntry {
    const char* name;
    TypeFactory type;
};

// Classes, in the order they are added.
constexpr ClassEntry kClasses[] = {
    {"Evaluator", evaluator_type},
    {"CompactBbox", compact_bbox_type},
};

// Functions, in the order they are added.
PyMethodDef kFunctions[] = {
    method_def<load_compact_bbox_fn>("load_compact_bbox"),
    method_def<load_compact_array_fn>("load_compact_array"),
    method_def<index_annotations_fn>("index_annotations"),
    method_def<prepare_bbox_results_fn>("prepare_bbox_results"),
    method_def<prepare_mask_results_fn>("prepare_mask_results"),
    method_def<prepare_keypoint_results_fn>("prepare_keypoint_results"),
    method_def<summary_values_fn>("summary_values"),
    method_def<accumulate_eval_imgs_fn>("accumulate_eval_imgs"),
    method_def<match_greedy_fn>("match_greedy"),
    method_def<read_partial_fn>("read_partial"),
    method_def<merge_partials_fn>("merge_partials"),
    method_def<encode_fn>("encode"),
    method_def<decode_fn>("decode"),
    method_def<merge_fn>("merge"),
    method_def<area_fn>("area"),
    method_def<to_bbox_fn>("toBbox"),
    method_def<iou_fn>("iou"),
    method_def<fr_bbox_fn>("frBbox"),
    method_def<fr_poly_fn>("frPoly"),
    method_def<fr_uncompressed_rle_fn>("frUncompressedRLE"),
    method_def<fr_py_objects_fn>("frPyObjects"),
    method_def<to_boundary_fn>("toBoundary"),
    method_def<load_json_fn>("load_json"),
    method_def<parse_json_only_fn>("parse_json_only"),
    method_def<read_file_only_fn>("read_file_only"),
    method_def<alloc_stats_fn>("alloc_stats"),
    method_def<reset_alloc_peak_fn>("reset_alloc_peak"),
};

// Appends `name` to __all__ (creating the list when missing), then sets the attribute.
void add_name(PyObject* module, const char* name, Ref value) {
    Ref all = Ref::steal_or_null(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw ErrorAlreadySet{};
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        check(PyObject_SetAttrString(module, "__all__", all.get()));
    }
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!PyList_Check(all.get()) || PyList_Append(all.get(), text.get()) < 0) {
        PyErr_Clear();
        throw InternalError("could not append __name__ to __all__");
    }
    check(PyObject_SetAttrString(module, name, value.get()));
}

int module_exec(PyObject* module) {
    return call_frame_status([&] {
        if (!PyModule_Check(module)) not_an_instance(module, "module");
        import_numpy();
        for (const ClassEntry& entry : kClasses) {
            if (!entry.name) continue;
            add_name(module, entry.name, Ref::borrow(reinterpret_cast<PyObject*>(entry.type())));
        }
        Ref module_name = Ref::steal(PyModule_GetNameObject(module));
        for (PyMethodDef& def : kFunctions) {
            add_name(module, def.ml_name,
                     Ref::steal(PyCFunction_NewEx(&def, module, module_name.get())));
        }
    });
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_tarnel",  // m_name
    nullptr,    // m_doc
    0,          // m_size
    nullptr,    // m_methods: functions are added by the module body
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace brandor::py

PyMODINIT_FUNC PyInit__tarnel(void) { return PyModuleDef_Init(&brandor::py::kModule); }
