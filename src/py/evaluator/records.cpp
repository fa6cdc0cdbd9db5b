// accumulate_eval_imgs: precision, recall and score arrays computed from
// per-image records (the dicts `COCOeval.evalImgs` holds), whoever made them.
// Trainers evaluate in batches or processes and merge the records before
// accumulating, so this reads any list of such dicts, turns each into the
// engine's match record and runs the engine's accumulation over it.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/eval/accumulate.hpp"
#include "core/parallel/pool.hpp"
#include "py/evaluator/evaluator.hpp"
#include "py/kit/keys.hpp"
#include "py/kit/convert.hpp"
#include "py/kit/gil.hpp"
#include "py/kit/numpy.hpp"

namespace brandor::py {
namespace {

// A record field as a C-ordered array of float64, bool or int64 values. An
// array already in that form is read in place; anything else (a list, other
// dtypes, strided) is converted to float64 by NumPy and held by `owner`.
struct Values {
    Ref owner;
    const char* data = nullptr;
    int type = NPY_FLOAT64;
    std::size_t rows = 0, cols = 0;

    double at(std::size_t i) const {
        switch (type) {
            case NPY_BOOL: return reinterpret_cast<const npy_bool*>(data)[i] ? 1.0 : 0.0;
            case NPY_INT64: return static_cast<double>(reinterpret_cast<const std::int64_t*>(data)[i]);
            default: return reinterpret_cast<const double*>(data)[i];
        }
    }
    double at(std::size_t r, std::size_t c) const { return at(r * cols + c); }
};

// The record's value under `k`, held: converting it may run Python code.
Ref field(PyObject* record, Key k) {
    PyObject* v = PyDict_GetItemWithError(record, key(k));
    if (!v) {
        if (PyErr_Occurred()) throw ErrorAlreadySet{};
        Ref name = Ref::borrow(key(k));
        PyErr_SetObject(PyExc_KeyError, name.get());
        throw ErrorAlreadySet{};
    }
    return Ref::borrow(v);
}

bool readable_in_place(PyObject* o) {
    if (!PyArray_Check(o)) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    const int type = PyArray_TYPE(a);
    return (type == NPY_FLOAT64 || type == NPY_BOOL || type == NPY_INT64) && PyArray_ISCARRAY_RO(a) &&
           PyArray_ISNOTSWAPPED(a);
}

// The field as an array of `ndim` axes (1 or 2).
Values values_of(PyObject* record, Key k, int ndim) {
    Ref held = field(record, k);
    PyObject* o = held.get();
    Values v;
    if (readable_in_place(o)) {
        v.owner = Ref::borrow(o);
    } else {
        v.owner = Ref::steal(PyArray_FROMANY(o, NPY_FLOAT64, 0, 0, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
    }
    auto* a = reinterpret_cast<PyArrayObject*>(v.owner.get());
    if (PyArray_NDIM(a) != ndim)
        throw value_error("per-image record field '" + std::string(to_text(key(k))) + "' must have " +
                          std::to_string(ndim) + (ndim == 1 ? " axis" : " axes"));
    v.type = PyArray_TYPE(a);
    v.data = static_cast<const char*>(PyArray_DATA(a));
    v.rows = static_cast<std::size_t>(PyArray_DIM(a, 0));
    v.cols = ndim == 2 ? static_cast<std::size_t>(PyArray_DIM(a, 1)) : 1;
    return v;
}

// dtScores: usually a list of floats, read directly; anything else through NumPy.
void append_scores(PyObject* record, std::vector<double>& out) {
    Ref held = field(record, Key::DtScores);
    PyObject* o = held.get();
    if (PyList_CheckExact(o)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(o, i));
            out.push_back(PyFloat_CheckExact(item.get()) ? PyFloat_AS_DOUBLE(item.get()) : to_f64(item.get()));
        }
        return;
    }
    Values v = values_of(record, Key::DtScores, 1);
    for (std::size_t i = 0; i < v.rows; ++i) out.push_back(v.at(i));
}

// The records' scores, status bytes (D x T each, detection-major) and
// ground-truth ignore flags, one after another in three flat columns: at COCO
// scale there are about a million records, too many for a few buffers each.
class RecordColumns {
public:
    struct Extent {
        std::size_t scores, status, gt_ignore;
    };

    void read(PyObject* record) {
        if (!PyDict_Check(record)) throw type_error("per-image records must be dicts or None");
        const Extent from{scores_.size(), status_.size(), gt_ignore_.size()};
        append_scores(record, scores_);
        const std::size_t D = scores_.size() - from.scores;
        Values matches = values_of(record, Key::DtMatches, 2);
        if (!T_) T_ = matches.rows;
        if (matches.rows != *T_ || matches.cols != D)
            throw value_error("per-image record: 'dtMatches' must have one row per IoU threshold of the other "
                              "records and one column per score in 'dtScores'");
        Values ignore = values_of(record, Key::DtIgnore, 2);
        if (ignore.rows != *T_ || ignore.cols != D)
            throw value_error("per-image record: 'dtIgnore' must have the shape of 'dtMatches'");
        Values gt_ignore = values_of(record, Key::GtIgnore, 1);

        const std::size_t T = *T_;
        for (std::size_t g = 0; g < gt_ignore.rows; ++g) gt_ignore_.push_back(gt_ignore.at(g) != 0.0);
        // As the reference reads them: a nonzero match id is a match, a
        // nonzero ignore flag wins over it (NaN counts as nonzero in both).
        status_.resize(from.status + D * T);
        std::uint8_t* status = status_.data() + from.status;
        bool unmatched = false;
        for (std::size_t t = 0; t < T; ++t)
            for (std::size_t d = 0; d < D; ++d) {
                std::uint8_t st = eval::kIgnored;
                if (ignore.at(t, d) == 0.0) {
                    st = matches.at(t, d) != 0.0 ? eval::kTruePositive : eval::kFalsePositive;
                    unmatched = unmatched || st == eval::kFalsePositive;
                }
                status[d * T + t] = st;
            }
        if (unmatched && gt_ignore.rows > 0) recover_matches_to_id_0(record, status, D, T);
        extents_.push_back(from);
        most_dets_ = std::max(most_dets_, D);
    }

    std::size_t thresholds() const { return T_.value_or(0); }
    std::size_t most_detections() const { return most_dets_; }

    // One view per record read, in reading order; valid while the columns live.
    std::vector<eval::MatchView> views() const {
        std::vector<eval::MatchView> out;
        out.reserve(extents_.size());
        for (std::size_t r = 0; r < extents_.size(); ++r) {
            const Extent& e = extents_[r];
            const Extent end = r + 1 < extents_.size()
                                   ? extents_[r + 1]
                                   : Extent{scores_.size(), status_.size(), gt_ignore_.size()};
            out.push_back(eval::MatchView{
                std::span<const double>(scores_.data() + e.scores, end.scores - e.scores),
                std::span<const std::uint8_t>(status_.data() + e.status, end.status - e.status),
                std::span<const std::uint8_t>(gt_ignore_.data() + e.gt_ignore, end.gt_ignore - e.gt_ignore)});
        }
        return out;
    }

private:
    // dtMatches holds the matched ground truth's id, so a match to a ground
    // truth whose id is 0 reads as no match. gtMatches still names the
    // detection (by its id), so such matches are recovered from it and count
    // as true positives, as they do in the engine's own evaluation.
    static void recover_matches_to_id_0(PyObject* record, std::uint8_t* status, std::size_t D, std::size_t T) {
        std::vector<std::int64_t> gt_ids = to_i64_vector(field(record, Key::GtIds).get());
        if (std::find(gt_ids.begin(), gt_ids.end(), 0) == gt_ids.end()) return;
        std::vector<std::int64_t> dt_ids = to_i64_vector(field(record, Key::DtIds).get());
        Values gt_matches = values_of(record, Key::GtMatches, 2);
        if (gt_matches.rows != T || gt_matches.cols != gt_ids.size() || dt_ids.size() != D)
            throw value_error("per-image record: 'gtMatches' must have one row per IoU threshold and one column "
                              "per id in 'gtIds'");
        for (std::size_t g = 0; g < gt_ids.size(); ++g) {
            if (gt_ids[g] != 0) continue;
            for (std::size_t t = 0; t < T; ++t) {
                const double matched = gt_matches.at(t, g);
                if (matched == 0.0) continue;
                for (std::size_t d = 0; d < D; ++d)
                    if (static_cast<double>(dt_ids[d]) == matched && status[d * T + t] == eval::kFalsePositive) {
                        status[d * T + t] = eval::kTruePositive;
                        break;
                    }
            }
        }
    }

    std::vector<double> scores_;
    std::vector<std::uint8_t> status_, gt_ignore_;
    std::vector<Extent> extents_;
    std::optional<std::size_t> T_;
    std::size_t most_dets_ = 0;
};

Ref accumulate_eval_imgs(PyObject*, const BoundArgs& args) {
    PyObject* records = args[0];
    if (!PyList_Check(records)) not_an_instance(records, "list");
    const std::vector<std::uint64_t> starts = args.convert(1, to_u64_vector);
    const std::vector<std::uint64_t> images = args.convert(2, to_u64_vector);
    const std::uint64_t A = args.convert(3, to_u64);
    const std::vector<double> rec_thrs = args.convert(4, to_f64_vector);
    const std::vector<std::uint64_t> max_dets = args.convert(5, to_u64_vector);
    if (A == 0 ? !starts.empty() : starts.size() % A != 0)
        throw value_error("block_starts must hold one start per category and area range");
    const std::size_t K = A == 0 ? 0 : starts.size() / A;

    // The records of block b (category k, area range a, at b = k * A + a) are
    // views[first[b] .. first[b + 1]), in image order, None skipped. A record
    // in several blocks is read once per block.
    std::vector<std::size_t> first{0};
    RecordColumns columns;
    std::size_t read = 0;
    for (std::uint64_t start : starts) {
        for (std::uint64_t i : images) {
            const std::uint64_t at = start + i;
            if (at < start || at >= static_cast<std::uint64_t>(PyList_GET_SIZE(records)))
                throw index_error("list index out of range");
            Ref record = Ref::borrow(PyList_GET_ITEM(records, static_cast<Py_ssize_t>(at)));
            if (record.get() == Py_None) continue;
            columns.read(record.get());
            ++read;
        }
        first.push_back(read);
    }
    const std::vector<eval::MatchView> views = columns.views();

    const std::size_t T = columns.thresholds(), R = rec_thrs.size(), M = max_dets.size();
    std::vector<double> precision(T * R * K * A * M, -1.0), recall(T * K * A * M, -1.0),
        scores(T * R * K * A * M, -1.0);
    // A cap at or above every record's detection count selects them all.
    const eval::AccumulateParams params{rec_thrs, max_dets, columns.most_detections()};
    without_gil([&] {
        parallel::parallel_for(K, 1, [&](std::size_t k) {
            eval::CategoryBlocks blocks(T, R, A, M);
            for (std::size_t a = 0; a < A; ++a) {
                const std::size_t b = k * A + a;
                std::span<const eval::MatchView> block(views.data() + first[b], first[b + 1] - first[b]);
                const std::vector<eval::RankedEntry> entries = eval::rank_matches(block);
                eval::accumulate_area(params, block, entries, a, blocks);
            }
            // Each category writes only its own cells.
            for (std::size_t t = 0; t < T; ++t)
                for (std::size_t a = 0; a < A; ++a)
                    for (std::size_t m = 0; m < M; ++m) {
                        recall[((t * K + k) * A + a) * M + m] = blocks.recall[(t * A + a) * M + m];
                        for (std::size_t r = 0; r < R; ++r) {
                            const std::size_t from = ((t * R + r) * A + a) * M + m;
                            const std::size_t to = (((t * R + r) * K + k) * A + a) * M + m;
                            precision[to] = blocks.precision[from];
                            scores[to] = blocks.scores[from];
                        }
                    }
        });
    });

    const npy_intp t = static_cast<npy_intp>(T), r = static_cast<npy_intp>(R), k = static_cast<npy_intp>(K),
                   a = static_cast<npy_intp>(A), m = static_cast<npy_intp>(M);
    Ref out = Ref::steal(PyDict_New());
    check(PyDict_SetItemString(out.get(), "precision", array_from_vector(std::move(precision), {t, r, k, a, m}).get()));
    check(PyDict_SetItemString(out.get(), "recall", array_from_vector(std::move(recall), {t, k, a, m}).get()));
    check(PyDict_SetItemString(out.get(), "scores", array_from_vector(std::move(scores), {t, r, k, a, m}).get()));
    return out;
}

}  // namespace

const Callable accumulate_eval_imgs_fn{
    "accumulate_eval_imgs",
    "accumulate_eval_imgs(eval_imgs, block_starts, image_positions, areas, rec_thrs, max_dets)\n--\n\n"
    "Precision, recall and score arrays from a list of per-image records.\n\n"
    "Block b = k * areas + a (category k, area range a) accumulates the records\n"
    "at block_starts[b] + i for i in image_positions, skipping None, with the\n"
    "detection caps max_dets. Returns a dict of arrays shaped (T, R, K, A, M)\n"
    "and (T, K, A, M), T being the records' number of threshold rows.",
    accumulate_eval_imgs};

}  // namespace brandor::py
