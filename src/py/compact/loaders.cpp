// load_compact_bbox() and load_compact_array(): a COCO JSON file or an Nx7
// detection array into a CompactBbox, without one Python object per
// annotation.
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "core/compact/column_builder.hpp"
#include "core/compact/results_loader.hpp"
#include "core/parallel/pool.hpp"
#include "py/compact/compact_bbox.hpp"
#include "py/json/build.hpp"
#include "py/json/read_file.hpp"
#include "py/kit/convert.hpp"
#include "py/kit/gc_pause.hpp"
#include "py/kit/numpy.hpp"

namespace brandor::py {
namespace {

using compact::ColumnBuilder;
using compact::CompactStore;
using compact::LoadMode;

// A COCO dataset object: "annotations" into `columns`, every other member
// built as load_json builds it, in file order, with "annotations" set to None.
Ref load_dataset(std::string_view text, compact::CompactColumns& columns) {
    json::Parser parser(text);
    if (parser.peek_value() != json::ValueType::Object) parser.fail_invalid_type("COCO dataset");
    ColumnBuilder builder(LoadMode::Dataset, text.size() <= compact::kMaxSpanSnapshot);
    Ref dataset = Ref::steal(PyDict_New());
    KeyCache keys;
    const GcPause paused;
    bool seen = false;
    parser.begin_object();
    while (parser.next_member()) {
        const json::DecodedString text_of_key = parser.read_key_text();
        const bool is_annotations = text_of_key.text == "annotations";
        Ref member = make_str(text_of_key);
        if (is_annotations) {
            if (seen) {
                parser.at_end();
                parser.fail_message("duplicate annotation arrays require ordinary JSON loading");
            }
            seen = true;
            parser.read_colon();
            compact::read_record_array(parser, builder);
            check(PyDict_SetItem(dataset.get(), member.get(), Py_None));
        } else {
            parser.read_colon();
            Ref value = build_value(parser, keys);
            check(PyDict_SetItem(dataset.get(), member.get(), value.get()));
        }
    }
    if (!seen) parser.fail_message("missing annotations");
    parser.finish();
    columns = std::move(builder).finish();
    return dataset;
}

Ref load_compact_bbox_impl(PyObject*, const BoundArgs& args) {
    PyObject* path = args.convert(0, [](PyObject* o) {
        to_text(o);  // a str, or the converter's TypeError
        return o;
    });
    const bool results = args.convert(1, to_bool);
    auto file = std::make_shared<json::FileBuffer>(read_file(path));
    const std::string_view text = file->view();
    auto store = std::make_unique<CompactStore>();
    store->results = results;
    Ref dataset;
    if (results) {
        // The pool is only asked for (and so created) when the file is large enough to split.
        const std::size_t threads = text.size() >= compact::kParallelThreshold ? parallel::worker_count() : 1;
        store->columns = compact::load_results(text, threads);
        dataset = Ref::steal(PyDict_New());
    } else {
        dataset = load_dataset(text, store->columns);
    }
    store->snapshot = std::move(file);
    Ref handle = make_compact_bbox(std::move(store));
    return Ref::steal(PyTuple_Pack(2, dataset.get(), handle.get()));
}

[[noreturn]] void not_a_result_array() { throw value_error("expected a 2-D float64 or float32 array"); }

double element(const char* p, bool float32) {
    if (float32) {
        float f;
        std::memcpy(&f, p, sizeof f);
        return static_cast<double>(f);
    }
    double d;
    std::memcpy(&d, p, sizeof d);
    return d;
}

// An id column value: finite, truncated toward zero, within int64.
std::int64_t truncated_id(double v) {
    constexpr double kLimit = 9223372036854775808.0;  // 2^63
    if (!std::isfinite(v)) throw value_error("image and category IDs must be finite int64 values");
    const double t = std::trunc(v);
    if (t < -kLimit || t >= kLimit) throw value_error("image and category IDs must be finite int64 values");
    return static_cast<std::int64_t>(t);
}

Ref load_compact_array_impl(PyObject*, const BoundArgs& args) {
    PyObject* data = args[0];
    if (!PyArray_Check(data)) not_a_result_array();
    auto* array = reinterpret_cast<PyArrayObject*>(data);
    const int type = PyArray_TYPE(array);
    if (PyArray_NDIM(array) != 2 || (type != NPY_FLOAT64 && type != NPY_FLOAT32)) not_a_result_array();
    if (PyArray_DIM(array, 1) != 7) throw value_error("result arrays must have 7 columns");
    const bool float32 = type == NPY_FLOAT32;
    // A byte-swapped array is read through a native copy.
    Ref native = Ref::borrow(data);
    if (!PyArray_ISNOTSWAPPED(array)) {
        native = Ref::steal(PyArray_CastToType(array, PyArray_DescrFromType(type), 0));
        array = reinterpret_cast<PyArrayObject*>(native.get());
    }
    const npy_intp n = PyArray_DIM(array, 0);
    const npy_intp row_stride = PyArray_STRIDE(array, 0), column_stride = PyArray_STRIDE(array, 1);
    const char* base = static_cast<const char*>(PyArray_DATA(array));
    ColumnBuilder builder(LoadMode::Results, true);
    builder.reserve(static_cast<std::size_t>(n));
    for (npy_intp i = 0; i < n; ++i) {
        const char* row = base + i * row_stride;
        double v[7];
        for (int j = 0; j < 7; ++j) v[j] = element(row + j * column_stride, float32);
        const std::int64_t image_id = truncated_id(v[0]);
        const std::int64_t category_id = truncated_id(v[6]);
        const double box[4] = {v[1], v[2], v[3], v[4]};
        builder.append_detection(box, v[5], image_id, category_id);
    }
    auto store = std::make_unique<CompactStore>();
    store->columns = std::move(builder).finish();
    store->snapshot = std::make_shared<const json::FileBuffer>();
    store->results = true;
    store->from_array = true;
    store->float32 = float32;
    return make_compact_bbox(std::move(store));
}

}  // namespace

const Callable load_compact_bbox_fn{"load_compact_bbox", "load_compact_bbox(path, results=False)\n--\n\n",
                                    load_compact_bbox_impl};

const Callable load_compact_array_fn{
    "load_compact_array",
    "load_compact_array(data)\n--\n\n"
    "Compact result handle from an `Nx7` float64 or float32 array of\n"
    "`[image_id, x, y, w, h, score, category_id]`, the input `loadRes` accepts\n"
    "besides files and lists. No Python annotation objects are created; values\n"
    "and derived fields match `loadNumpyAnnotations` followed by `loadRes`.",
    load_compact_array_impl};

}  // namespace brandor::py
