#include "py/index.hpp"

#include "py/evaluator/keys.hpp"
#include "py/kit/convert.hpp"

namespace brandor::py {
namespace {

// mapping[k], as Python's subscription gives it (KeyError for a missing key).
Ref get_item(PyObject* mapping, PyObject* k) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* v = PyDict_GetItemWithError(mapping, k);
        if (!v) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, k);
            throw ErrorAlreadySet{};
        }
        return Ref::borrow(v);
    }
    return Ref::steal(PyObject_GetItem(mapping, k));
}

void set_item(PyObject* mapping, PyObject* k, PyObject* v) {
    check(PyDict_CheckExact(mapping) ? PyDict_SetItem(mapping, k, v) : PyObject_SetItem(mapping, k, v));
}

// sequence[i] as Python's subscription gives it.
Ref item_at(PyObject* sequence, Py_ssize_t i) {
    if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) return Ref::steal(PySequence_GetItem(sequence, i));
    Ref index = Ref::steal(PyLong_FromSsize_t(i));
    return Ref::steal(PyObject_GetItem(sequence, index.get()));
}

// Item access may run Python code that changes the list, so the bound is
// re-read on every step: below both the current length and the starting one.
template <class Step>
void for_each_annotation(PyObject* list, Step&& step) {
    const Py_ssize_t initial = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < initial && i < PyList_GET_SIZE(list); ++i) {
        Ref ann = Ref::borrow(PyList_GET_ITEM(list, i));
        step(i, ann.get());
    }
}

// Appends `value` to index[k], creating the list when `k` is new.
void append_to(PyObject* index, PyObject* k, PyObject* value) {
    PyObject* bucket = PyDict_GetItemWithError(index, k);
    if (bucket) {
        check(PyList_Append(bucket, value));
        return;
    }
    if (PyErr_Occurred()) throw ErrorAlreadySet{};
    Ref fresh = Ref::steal(PyList_New(1));
    PyList_SET_ITEM(fresh.get(), 0, Ref::borrow(value).release());
    check(PyDict_SetItem(index, k, fresh.get()));
}

PyObject* list_argument(const BoundArgs& args, std::size_t i) {
    return args.convert(i, [](PyObject* o) {
        if (!PyList_Check(o)) not_an_instance(o, "list");
        return o;
    });
}

Ref index_annotations_impl(PyObject*, const BoundArgs& args) {
    PyObject* list = list_argument(args, 0);
    const bool with_categories = args.convert(1, to_bool);
    Ref by_id = Ref::steal(PyDict_New());
    Ref by_image = Ref::steal(PyDict_New());
    Ref by_category = Ref::steal(PyDict_New());
    for_each_annotation(list, [&](Py_ssize_t, PyObject* ann) {
        Ref image = get_item(ann, key(Key::ImageId));
        append_to(by_image.get(), image.get(), ann);
        Ref id = get_item(ann, key(Key::Id));
        check(PyDict_SetItem(by_id.get(), id.get(), ann));
        if (with_categories) {
            Ref category = get_item(ann, key(Key::CategoryId));
            append_to(by_category.get(), category.get(), image.get());
        }
    });
    return Ref::steal(PyTuple_Pack(3, by_id.get(), by_image.get(), by_category.get()));
}

Ref prepare_bbox_results_impl(PyObject*, const BoundArgs& args) {
    fill_bbox_results(list_argument(args, 0));
    return Ref::borrow(Py_None);
}

}  // namespace

void fill_bbox_results(PyObject* list) {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    for_each_annotation(list, [&](Py_ssize_t i, PyObject* ann) {
        Ref bb = get_item(ann, key(Key::Bbox));
        Ref w = item_at(bb.get(), 2);
        Ref h = item_at(bb.get(), 3);
        Ref area = Ref::steal(PyNumber_Multiply(w.get(), h.get()));
        Ref id = Ref::steal(PyLong_FromSsize_t(i + 1));
        set_item(ann, key(Key::Area), area.get());
        set_item(ann, key(Key::Id), id.get());
        set_item(ann, key(Key::Iscrowd), zero.get());
    });
}

const Callable index_annotations_fn{
    "index_annotations",
    "index_annotations(annotations, with_categories)\n--\n\n"
    "Build public annotation indexes without Python bytecode loops or copied annotations.",
    index_annotations_impl};

const Callable prepare_bbox_results_fn{
    "prepare_bbox_results",
    "prepare_bbox_results(annotations)\n--\n\n"
    "Fill bbox-result metadata with Python arithmetic and object semantics intact.",
    prepare_bbox_results_impl};

}  // namespace brandor::py
