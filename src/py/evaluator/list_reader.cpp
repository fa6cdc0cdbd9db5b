#include "py/evaluator/list_reader.hpp"

#include <optional>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "py/kit/keys.hpp"
#include "py/kit/convert.hpp"
#include "py/kit/numpy.hpp"
#include "py/kit/ref.hpp"
#include "py/mask/rle_dict.hpp"

namespace brandor::py {

using eval::InstanceTable;
using eval::KeypointStore;

namespace {

// The value under `k`, or an empty handle when the key is missing or None.
Ref optional_value(PyObject* dict, Key k) {
    PyObject* v = PyDict_GetItemWithError(dict, key(k));
    if (!v) {
        if (PyErr_Occurred()) throw ErrorAlreadySet{};
        return Ref();
    }
    if (v == Py_None) return Ref();
    return Ref::borrow(v);
}

// Python's integer conversion: int, bool or __index__; a float is a TypeError.
std::int64_t read_int(PyObject* v) {
    if (PyLong_CheckExact(v)) {
        long long x = PyLong_AsLongLong(v);
        if (x == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
        return x;
    }
    return to_i64(v);
}

double read_float(PyObject* v) {
    if (PyFloat_Check(v)) return PyFloat_AS_DOUBLE(v);
    if (PyLong_CheckExact(v)) {
        double x = PyLong_AsDouble(v);
        if (x == -1.0 && PyErr_Occurred()) throw ErrorAlreadySet{};
        return x;
    }
    return to_f64(v);
}

std::optional<std::int64_t> optional_int(PyObject* dict, Key k) {
    Ref v = optional_value(dict, k);
    if (!v) return std::nullopt;
    return read_int(v.get());
}

std::optional<double> optional_float(PyObject* dict, Key k) {
    Ref v = optional_value(dict, k);
    if (!v) return std::nullopt;
    return read_float(v.get());
}

// [x, y, w, h]; missing or None gives zeros.
void read_box(PyObject* dict, double box[4]) {
    Ref v = optional_value(dict, Key::Bbox);
    box[0] = box[1] = box[2] = box[3] = 0.0;
    if (!v) return;
    PyObject* o = v.get();
    if (PyList_Check(o) && PyList_GET_SIZE(o) == 4) {
        for (Py_ssize_t i = 0; i < 4; ++i) {
            // A conversion may run Python code that shrinks the list.
            if (i >= PyList_GET_SIZE(o)) throw value_error("'bbox' must have 4 entries");
            PyObject* raw = PyList_GET_ITEM(o, i);
            if (PyFloat_CheckExact(raw) || PyLong_CheckExact(raw)) {
                box[i] = read_float(raw);  // runs no Python code
            } else {
                Ref item = Ref::borrow(raw);
                box[i] = read_float(item.get());
            }
        }
        return;
    }
    if (PyArray_CheckExact(o)) {
        // A float64 array of four (what toBbox gives mask results): read in
        // place, the values its items would give one by one.
        auto* a = reinterpret_cast<PyArrayObject*>(o);
        if (PyArray_NDIM(a) == 1 && PyArray_DIM(a, 0) == 4 && PyArray_TYPE(a) == NPY_DOUBLE &&
            PyArray_ISNOTSWAPPED(a) && PyArray_ISALIGNED(a)) {
            const char* data = PyArray_BYTES(a);
            for (int i = 0; i < 4; ++i)
                box[i] = *reinterpret_cast<const double*>(data + i * PyArray_STRIDE(a, 0));
            return;
        }
    }
    std::vector<double> values = to_f64_vector(o);
    if (values.size() != 4) throw value_error("'bbox' must have 4 entries");
    for (int i = 0; i < 4; ++i) box[i] = values[i];
}

// o[i] for an object that is indexable but not a sequence.
Ref item_at(PyObject* o, Py_ssize_t i) {
    Ref index = Ref::steal(PyLong_FromSsize_t(i));
    return Ref::steal(PyObject_GetItem(o, index.get()));
}

// Ring coordinates: a list item by item, anything else as a sequence of numbers.
void append_ring(PyObject* ring, std::vector<double>& coords) {
    if (PyList_Check(ring)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ring); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(ring, i));
            coords.push_back(read_float(item.get()));
        }
        return;
    }
    std::vector<double> values = to_f64_vector(ring);
    coords.insert(coords.end(), values.begin(), values.end());
}

// The geometry job of one annotation of a mask kind, at its image's size.
eval::GeometryJob segmentation_job(PyObject* ann, const double box[4], eval::ImageSize size) {
    eval::GeometryJob job;
    job.h = size.height;
    job.w = size.width;
    Ref seg = optional_value(ann, Key::Segmentation);
    if (!seg) {
        job.geometry = eval::BoxGeometry{{box[0], box[1], box[2], box[3]}};
        return job;
    }
    PyObject* o = seg.get();
    if (PyDict_Check(o)) {
        // The mask's size always comes from the image; the RLE's own is not read.
        std::optional<mask::RleCounts> counts = mask::find_counts(o);
        if (!counts) throw value_error("RLE segmentation is missing 'counts'");
        if (counts->is_text)
            job.geometry = eval::CompressedGeometry{std::string(counts->text)};
        else
            job.geometry = eval::UncompressedGeometry{to_u32_vector(counts->value.get())};
        return job;
    }
    eval::PolygonGeometry polygons;
    Ref it = Ref::steal(PyObject_GetIter(o));
    while (Ref ring = Ref::steal_or_null(PyIter_Next(it.get()))) {
        append_ring(ring.get(), polygons.coords);
        if (polygons.coords.size() > 0xFFFFFFFFu) throw value_error("polygon has too many coordinates");
        polygons.ring_ends.push_back(static_cast<std::uint32_t>(polygons.coords.size()));
    }
    if (PyErr_Occurred()) throw ErrorAlreadySet{};
    job.geometry = std::move(polygons);
    return job;
}

const char* const kTripletMessage = "keypoints must contain the same number of x/y/visibility triplets";

// Keypoint rows of one list. Rows without keypoints are allowed only where
// they can never be compared (unknown image or category); they get no
// coordinates and the store switches to per-row offsets.
class KeypointReader {
public:
    KeypointReader(KeypointStore& store, bool ground_truth, std::size_t rows)
        : store_(store), ground_truth_(ground_truth), rows_(rows) {}

    void read_row(PyObject* dict, std::size_t row, std::int64_t id, bool evaluated) {
        Ref v = optional_value(dict, Key::Keypoints);
        Py_ssize_t len = 0;
        if (v) {
            len = PyObject_Length(v.get());
            if (len < 0) throw ErrorAlreadySet{};
            std::size_t n = store_.keypoint_count;
            if (len % 3 != 0 || (n != 0 && static_cast<std::size_t>(len) != 3 * n)) throw value_error(kTripletMessage);
        }
        if (len == 0) {
            // A row the engine would compare needs its coordinates.
            if (evaluated) throw value_error("annotation " + std::to_string(id) + " has no keypoints");
            if (store_.offsets.empty()) start_offsets(row);
            store_.offsets.push_back(KeypointStore::kNoKeypoints);
            return;
        }
        if (store_.keypoint_count == 0) {
            store_.keypoint_count = static_cast<std::uint32_t>(len / 3);
            store_.coords.reserve(rows_ * 2 * store_.keypoint_count);
            if (ground_truth_) store_.visibility.reserve(rows_ * store_.keypoint_count);
        }
        if (!store_.offsets.empty()) store_.offsets.push_back(store_.coords.size());
        PyObject* o = v.get();
        const bool is_list = PyList_Check(o);
        const bool is_sequence = PySequence_Check(o);
        for (Py_ssize_t i = 0; i < len; ++i) {
            if (is_list && i >= PyList_GET_SIZE(o)) throw value_error(kTripletMessage);
            double x;
            PyObject* raw = is_list ? PyList_GET_ITEM(o, i) : nullptr;
            if (raw && (PyFloat_CheckExact(raw) || PyLong_CheckExact(raw))) {
                x = read_float(raw);  // runs no Python code, so the borrowed item stays valid
            } else {
                Ref item = raw ? Ref::borrow(raw) : is_sequence ? Ref::steal(PySequence_GetItem(o, i)) : item_at(o, i);
                x = read_float(item.get());
            }
            if (i % 3 != 2)
                store_.coords.push_back(x);
            else if (ground_truth_)
                store_.visibility.push_back(x > 0.0 ? 1 : 0);
        }
    }

private:
    // Rows before `row` all carried keypoints (or none did), at 2N apiece.
    void start_offsets(std::size_t row) {
        store_.offsets.reserve(rows_);
        for (std::size_t r = 0; r < row; ++r) store_.offsets.push_back(std::uint64_t{r} * 2 * store_.keypoint_count);
    }

    KeypointStore& store_;
    bool ground_truth_;
    std::size_t rows_;
};

}  // namespace

InstanceTable read_annotation_list(PyObject* list, bool ground_truth, const ListSource& source,
                                   eval::PhaseTimings& timings) {
    eval::Stopwatch watch;
    const std::size_t length = static_cast<std::size_t>(PyList_GET_SIZE(list));
    InstanceTable table = eval::make_instance_table(length, source.kind);
    const bool keypoints = source.kind == eval::IouType::Keypoints;
    if (keypoints && ground_truth) table.boxes.reserve(4 * length);
    auto* boxes = std::get_if<eval::BoxStore>(&table.geometry);
    auto* kp_store = std::get_if<KeypointStore>(&table.geometry);
    std::optional<KeypointReader> kp;
    if (kp_store) kp.emplace(*kp_store, ground_truth, length);

    for (std::size_t row = 0; row < length && row < static_cast<std::size_t>(PyList_GET_SIZE(list)); ++row) {
        Ref item = Ref::borrow(PyList_GET_ITEM(list, static_cast<Py_ssize_t>(row)));
        PyObject* ann = item.get();
        if (!PyDict_Check(ann)) throw value_error("annotations must be dicts");

        auto image_id = optional_int(ann, Key::ImageId);
        if (!image_id) throw key_error("annotation is missing 'image_id'");
        std::int64_t category_id = optional_int(ann, Key::CategoryId).value_or(-1);
        std::int64_t id = optional_int(ann, Key::Id).value_or(static_cast<std::int64_t>(row + 1));

        // Values are read in this order, so the first failing conversion is
        // always the same one.
        const std::optional<double> score = optional_float(ann, Key::Score);
        double box[4];
        read_box(ann, box);
        const std::optional<double> area = optional_float(ann, Key::Area);
        auto iscrowd = optional_int(ann, Key::Iscrowd);
        const std::uint8_t crowd = iscrowd && *iscrowd != 0;
        std::uint8_t ignore = 0;
        if (ground_truth) {
            ignore = crowd;
            if (keypoints) {
                auto num = optional_int(ann, Key::NumKeypoints);
                if (!num || *num == 0) ignore = 1;
            }
        }
        const eval::RowPlace place = source.ids.locate(*image_id, category_id);
        eval::append_row(table, eval::RawRow{id, score.value_or(0.0), area.value_or(box[2] * box[3]), crowd, ignore},
                         place);

        if (source.jobs) {
            auto size = source.sizes->find(*image_id);
            if (size == source.sizes->end())
                throw key_error("no image entry for image_id " + std::to_string(*image_id));
            source.jobs->push(segmentation_job(ann, box, size->second));
        } else if (boxes) {
            boxes->xywh.insert(boxes->xywh.end(), box, box + 4);
        } else if (kp) {
            if (ground_truth) table.boxes.insert(table.boxes.end(), box, box + 4);
            kp->read_row(ann, row, id, place.known());
        }
    }
    (ground_truth ? timings.gt_read : timings.dt_read).fetch_add(watch.elapsed(), std::memory_order_relaxed);
    return table;
}

}  // namespace brandor::py
