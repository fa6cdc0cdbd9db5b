// CompactBbox's methods and properties. Every one takes a shared borrow of
// the (immutable) store for the duration of the call.
#include "py/compact/compact_bbox.hpp"

#include <algorithm>
#include <optional>
#include <unordered_map>
#include <vector>

#include "core/compact/federated_select.hpp"
#include "py/evaluator/keys.hpp"
#include "py/index.hpp"
#include "py/json/build.hpp"
#include "py/kit/convert.hpp"
#include "py/kit/gc_pause.hpp"
#include "py/kit/numpy.hpp"

namespace brandor::py {
namespace {

using compact::CompactStore;
using compact::IdSet;

// Runs `body` on the store of `self` under a shared borrow.
template <class Body>
Ref with_store(PyObject* self, Body&& body) {
    CompactBboxObject& object = CompactBboxObject::of(self);
    const SharedBorrow borrowed(object.borrow);
    return body(*object.value);
}

Ref annotations_impl(PyObject* self, const BoundArgs&) {
    return with_store(self, [](const CompactStore& store) {
        if (store.from_array) throw value_error("array-backed results are materialized from array_rows()");
        Ref value = load_json_text(store.snapshot->view());
        if (store.results) {
            fill_bbox_results(value.get());
            return value;
        }
        PyObject* annotations = PyDict_GetItemString(value.get(), "annotations");
        if (!annotations) throw InternalError("a dataset snapshot without annotations");
        return Ref::borrow(annotations);
    });
}

Ref array_rows_impl(PyObject* self, const BoundArgs&) {
    return with_store(self, [](const CompactStore& store) {
        const compact::CompactColumns& c = store.columns;
        const std::size_t n = c.size();
        std::vector<double> rows(7 * n);
        for (std::size_t i = 0; i < n; ++i) {
            double* row = &rows[7 * i];
            const auto box = c.box(i);
            row[0] = static_cast<double>(c.image_id(i));
            std::copy(box.begin(), box.end(), row + 1);
            row[5] = c.score(i);
            row[6] = static_cast<double>(c.category_id(i));
        }
        return array_from_vector(std::move(rows), {static_cast<npy_intp>(n), 7});
    });
}

Ref valid_images_impl(PyObject* self, const BoundArgs& args) {
    const std::vector<std::int64_t> images = args.convert(0, to_i64_vector);
    return with_store(self, [&](const CompactStore& store) {
        const IdSet known(images.begin(), images.end());
        const compact::CompactColumns& c = store.columns;
        for (std::size_t i = 0; i < c.size(); ++i)
            if (!known.count(c.image_id(i))) return Ref::borrow(Py_False);
        return Ref::borrow(Py_True);
    });
}

IdSet to_id_set(PyObject* o) {
    if (!PyAnySet_Check(o)) not_an_instance(o, "set");
    IdSet ids;
    ids.reserve(static_cast<std::size_t>(PySet_GET_SIZE(o)));
    Ref it = Ref::steal(PyObject_GetIter(o));
    while (Ref item = Ref::steal_or_null(PyIter_Next(it.get()))) ids.insert(to_i64(item.get()));
    if (PyErr_Occurred()) throw ErrorAlreadySet{};
    return ids;
}

std::unordered_map<std::int64_t, IdSet> to_verified(PyObject* o) {
    if (!PyDict_Check(o)) not_an_instance(o, "dict");
    std::unordered_map<std::int64_t, IdSet> verified;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(o, &pos, &k, &v)) {
        Ref key_ref = Ref::borrow(k), value_ref = Ref::borrow(v);
        const std::int64_t image = to_i64(k);
        verified[image] = to_id_set(v);
    }
    return verified;
}

std::optional<std::uint64_t> to_max_det(PyObject* o) {
    if (o == Py_None) return std::nullopt;
    return to_u64(o);
}

// Builds the array elements at `positions` (ascending, distinct) of the
// snapshot's top-level array, skipping the others; stops after the last one.
std::vector<Ref> build_elements(std::string_view text, const std::vector<std::size_t>& positions) {
    std::vector<Ref> built;
    built.reserve(positions.size());
    if (positions.empty()) return built;
    json::Parser parser(text);
    if (parser.peek_value() != json::ValueType::Array) parser.fail_invalid_type("a detection annotation array");
    parser.begin_array();
    KeyCache keys;
    const GcPause paused;
    std::size_t index = 0;
    for (const std::size_t wanted : positions) {
        for (;;) {
            if (!parser.next_element()) parser.fail_message("missing selected annotation");
            if (index++ == wanted) break;
            parser.skip_value();
        }
        built.push_back(build_value(parser, keys));
    }
    return built;
}

Ref lvis_annotations_impl(PyObject* self, const BoundArgs& args) {
    const std::vector<std::int64_t> image_ids = args.convert(0, to_i64_vector);
    const IdSet categories = args.convert(1, to_id_set);
    const auto verified = args.convert(2, to_verified);
    const std::optional<std::uint64_t> max_det = args.convert(3, to_max_det);
    return with_store(self, [&](const CompactStore& store) {
        if (!store.results || store.from_array) return Ref::borrow(Py_None);
        const std::vector<std::size_t> selected =
            compact::select_federated(store.columns, image_ids, categories, verified, max_det);
        std::vector<std::size_t> ascending = selected;
        std::sort(ascending.begin(), ascending.end());
        ascending.erase(std::unique(ascending.begin(), ascending.end()), ascending.end());
        const std::vector<Ref> built = build_elements(store.snapshot->view(), ascending);
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(selected.size())));
        for (std::size_t k = 0; k < selected.size(); ++k) {
            const std::size_t at = static_cast<std::size_t>(
                std::lower_bound(ascending.begin(), ascending.end(), selected[k]) - ascending.begin());
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), Ref(built[at]).release());
        }
        fill_bbox_results(list.get());
        // The id loadRes gives each detection in the full result list.
        for (std::size_t k = 0; k < selected.size(); ++k) {
            Ref id = Ref::steal(PyLong_FromSize_t(selected[k] + 1));
            check(PyObject_SetItem(PyList_GET_ITEM(list.get(), static_cast<Py_ssize_t>(k)), key(Key::Id), id.get()));
        }
        return list;
    });
}

// Property getters.
template <class Get>
PyObject* property(PyObject* self, Get&& get) {
    return call_frame([&] { return with_store(self, get); });
}
PyObject* get_from_array(PyObject* self, void*) {
    return property(self, [](const CompactStore& s) { return Ref::borrow(s.from_array ? Py_True : Py_False); });
}
PyObject* get_float32(PyObject* self, void*) {
    return property(self, [](const CompactStore& s) { return Ref::borrow(s.float32 ? Py_True : Py_False); });
}
PyObject* get_annotation_count(PyObject* self, void*) {
    return property(self, [](const CompactStore& s) { return Ref::steal(PyLong_FromSize_t(s.columns.size())); });
}
PyObject* get_snapshot_bytes(PyObject* self, void*) {
    return property(self, [](const CompactStore& s) {
        return Ref::steal(PyLong_FromSize_t(s.snapshot ? s.snapshot->size : 0));
    });
}
PyObject* get_column_bytes(PyObject* self, void*) {
    return property(self,
                    [](const CompactStore& s) { return Ref::steal(PyLong_FromSize_t(s.columns.column_bytes())); });
}

const Callable lvis_annotations_fn{
    "CompactBbox.lvis_annotations",
    "lvis_annotations($self, image_ids, categories, verified, max_det)\n--\n\n"
    "Materialize only federated detections, without building the public\n"
    "annotation indexes or releasing the immutable snapshot. The official\n"
    "global image cap precedes category/federated filtering.",
    lvis_annotations_impl};
const Callable annotations_fn{"CompactBbox.annotations", "annotations($self)\n--\n\n", annotations_impl};
const Callable valid_images_fn{"CompactBbox.valid_images", "valid_images($self, images)\n--\n\n", valid_images_impl};
const Callable array_rows_fn{
    "CompactBbox.array_rows",
    "array_rows($self)\n--\n\n"
    "The `Nx7` `[image_id, x, y, w, h, score, category_id]` rows as float64,\n"
    "with integer IDs as loadRes truncated them.",
    array_rows_impl};

PyMethodDef kMethods[] = {
    method_def<lvis_annotations_fn>("lvis_annotations"),
    method_def<annotations_fn>("annotations"),
    method_def<valid_images_fn>("valid_images"),
    method_def<array_rows_fn>("array_rows"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"from_array", get_from_array, nullptr, nullptr, nullptr},
    {"float32", get_float32, nullptr, nullptr, nullptr},
    {"annotation_count", get_annotation_count, nullptr, nullptr, nullptr},
    {"snapshot_bytes", get_snapshot_bytes, nullptr, nullptr, nullptr},
    {"column_bytes", get_column_bytes, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&CompactBboxObject::dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kProperties},
    {0, nullptr},
};

PyType_Spec kTypeSpec = {
    "brandor._tarnel.CompactBbox",
    static_cast<int>(sizeof(CompactBboxObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* compact_bbox_type() { return lazy_type(g_type, kTypeSpec); }

Ref make_compact_bbox(std::unique_ptr<CompactStore> store) {
    return CompactBboxObject::create(compact_bbox_type(), std::move(store));
}

}  // namespace brandor::py
