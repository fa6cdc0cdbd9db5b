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
#include "py/evaluator/keys.hpp"
#include "py/kit/convert.hpp"
#include "py/kit/gil.hpp"
#include "py/kit/numpy.hpp"

namespace brandor::py {
namespace {

using eval::ImageMatch;

// A record field as contiguous float64 values; `owner` keeps them alive.
struct Values {
    Ref owner;
    const double* data = nullptr;
    std::size_t rows = 0, cols = 0;
    double at(std::size_t r, std::size_t c) const { return data[r * cols + c]; }
};

PyObject* field(PyObject* record, Key k) {
    PyObject* v = PyDict_GetItemWithError(record, key(k));
    if (!v) {
        if (PyErr_Occurred()) throw ErrorAlreadySet{};
        Ref name = Ref::borrow(key(k));
        PyErr_SetObject(PyExc_KeyError, name.get());
        throw ErrorAlreadySet{};
    }
    return v;
}

// The field as a float64 array of `ndim` axes (1 or 2), converted by NumPy
// when it is anything else (a list, ints, bools).
Values float_values(PyObject* record, Key k, int ndim) {
    PyObject* o = field(record, k);
    Values v;
    v.owner = Ref::steal(PyArray_FROMANY(o, NPY_FLOAT64, 0, 0, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
    auto* a = reinterpret_cast<PyArrayObject*>(v.owner.get());
    if (PyArray_NDIM(a) != ndim)
        throw value_error("per-image record field '" + std::string(to_text(key(k))) + "' must have " +
                          std::to_string(ndim) + (ndim == 1 ? " axis" : " axes"));
    v.data = static_cast<const double*>(PyArray_DATA(a));
    v.rows = static_cast<std::size_t>(PyArray_DIM(a, 0));
    v.cols = ndim == 2 ? static_cast<std::size_t>(PyArray_DIM(a, 1)) : 1;
    return v;
}

// dtScores: usually a list of floats, read directly; anything else through NumPy.
void read_scores(PyObject* record, std::vector<double>& out) {
    PyObject* o = field(record, Key::DtScores);
    out.clear();
    if (PyList_CheckExact(o)) {
        const Py_ssize_t n = PyList_GET_SIZE(o);
        out.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(o, i));
            out.push_back(PyFloat_CheckExact(item.get()) ? PyFloat_AS_DOUBLE(item.get()) : to_f64(item.get()));
        }
        return;
    }
    Values v = float_values(record, Key::DtScores, 1);
    out.assign(v.data, v.data + v.rows);
}

// The threshold rows of a record: those of dtMatches, which every record of
// one accumulation must share.
class RecordReader {
public:
    // Fills `m` (scores, status D x T, ground-truth ignore flags) from one record dict.
    void read(PyObject* record, ImageMatch& m) {
        if (!PyDict_Check(record)) throw type_error("per-image records must be dicts or None");
        read_scores(record, m.scores);
        const std::size_t D = m.scores.size();
        Values matches = float_values(record, Key::DtMatches, 2);
        if (!T_) T_ = matches.rows;
        if (matches.rows != *T_ || matches.cols != D)
            throw value_error("per-image record: 'dtMatches' must have one row per IoU threshold of the other "
                              "records and one column per score in 'dtScores'");
        Values ignore = float_values(record, Key::DtIgnore, 2);
        if (ignore.rows != *T_ || ignore.cols != D)
            throw value_error("per-image record: 'dtIgnore' must have the shape of 'dtMatches'");
        Values gt_ignore = float_values(record, Key::GtIgnore, 1);

        const std::size_t T = *T_;
        m.gt_ignore.resize(gt_ignore.rows);
        for (std::size_t g = 0; g < gt_ignore.rows; ++g) m.gt_ignore[g] = gt_ignore.data[g] != 0.0;
        // As the reference reads them: a nonzero match id is a match, a
        // nonzero ignore flag wins over it (NaN counts as nonzero in both).
        m.status.resize(D * T);
        bool unmatched = false;
        for (std::size_t t = 0; t < T; ++t)
            for (std::size_t d = 0; d < D; ++d) {
                std::uint8_t s = eval::kIgnored;
                if (ignore.at(t, d) == 0.0) {
                    s = matches.at(t, d) != 0.0 ? eval::kTruePositive : eval::kFalsePositive;
                    unmatched = unmatched || s == eval::kFalsePositive;
                }
                m.status[d * T + t] = s;
            }
        if (unmatched && !m.gt_ignore.empty()) recover_matches_to_id_0(record, m, T);
    }

    std::size_t thresholds() const { return T_.value_or(0); }

private:
    // dtMatches holds the matched ground truth's id, so a match to a ground
    // truth whose id is 0 reads as no match. gtMatches still names the
    // detection (by its id), so such matches are recovered from it and count
    // as true positives, as they do in the engine's own evaluation.
    void recover_matches_to_id_0(PyObject* record, ImageMatch& m, std::size_t T) {
        std::vector<std::int64_t> gt_ids = to_i64_vector(field(record, Key::GtIds));
        if (std::find(gt_ids.begin(), gt_ids.end(), 0) == gt_ids.end()) return;
        std::vector<std::int64_t> dt_ids = to_i64_vector(field(record, Key::DtIds));
        Values gt_matches = float_values(record, Key::GtMatches, 2);
        if (gt_matches.rows != T || gt_matches.cols != gt_ids.size() || dt_ids.size() != m.scores.size())
            throw value_error("per-image record: 'gtMatches' must have one row per IoU threshold and one column "
                              "per id in 'gtIds'");
        for (std::size_t g = 0; g < gt_ids.size(); ++g) {
            if (gt_ids[g] != 0) continue;
            for (std::size_t t = 0; t < T; ++t) {
                const double matched = gt_matches.at(t, g);
                if (matched == 0.0) continue;
                for (std::size_t d = 0; d < dt_ids.size(); ++d)
                    if (static_cast<double>(dt_ids[d]) == matched && m.status[d * T + t] == eval::kFalsePositive) {
                        m.status[d * T + t] = eval::kTruePositive;
                        break;
                    }
            }
        }
    }

    std::optional<std::size_t> T_;
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
    // matches[first[b] .. first[b + 1]), in image order, None skipped. A record
    // in several blocks is read once per block.
    std::vector<ImageMatch> matches;
    std::vector<std::size_t> first{0};
    RecordReader reader;
    std::uint64_t budget = 0;
    for (std::uint64_t start : starts) {
        for (std::uint64_t i : images) {
            const std::uint64_t at = start + i;
            if (at < start || at >= static_cast<std::uint64_t>(PyList_GET_SIZE(records)))
                throw index_error("list index out of range");
            Ref record = Ref::borrow(PyList_GET_ITEM(records, static_cast<Py_ssize_t>(at)));
            if (record.get() == Py_None) continue;
            reader.read(record.get(), matches.emplace_back());
            budget = std::max<std::uint64_t>(budget, matches.back().scores.size());
        }
        first.push_back(matches.size());
    }

    const std::size_t T = reader.thresholds(), R = rec_thrs.size(), M = max_dets.size();
    std::vector<double> precision(T * R * K * A * M, -1.0), recall(T * K * A * M, -1.0),
        scores(T * R * K * A * M, -1.0);
    // A cap at or above every record's detection count selects them all.
    const eval::AccumulateParams params{rec_thrs, max_dets, budget};
    without_gil([&] {
        parallel::parallel_for(K, 1, [&](std::size_t k) {
            eval::CategoryBlocks blocks(T, R, A, M);
            for (std::size_t a = 0; a < A; ++a) {
                const std::size_t b = k * A + a;
                std::span<const ImageMatch> block(matches.data() + first[b], first[b + 1] - first[b]);
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
