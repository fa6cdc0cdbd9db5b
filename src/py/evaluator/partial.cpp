// Partial results of image shards: Evaluator.partial encodes what
// accumulation needs of a shard's matches as bytes; read_partial checks such
// bytes and reports what they hold; merge_partials merges the partials of
// disjoint shards into the arrays of one run over all their images.
#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "core/eval/partial.hpp"
#include "core/eval/partial_format.hpp"
#include "core/eval/partial_merge.hpp"
#include "core/parallel/pool.hpp"
#include "py/evaluator/evaluator.hpp"
#include "py/kit/convert.hpp"
#include "py/kit/gil.hpp"
#include "py/kit/numpy.hpp"

namespace brandor::py {
namespace {

constexpr const char* kKindNames[] = {"segm", "bbox", "keypoints", "boundary"};

// Bytes objects are immutable, so their contents can be read with the lock released.
std::span<const std::uint8_t> bytes_of(PyObject* o) {
    if (!PyBytes_Check(o)) not_an_instance(o, "bytes");
    return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(o)), static_cast<std::size_t>(PyBytes_GET_SIZE(o))};
}

Ref bytes_object(std::span<const std::uint8_t> b) {
    return Ref::steal(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()), static_cast<Py_ssize_t>(b.size())));
}

Ref ids_array(std::vector<std::int64_t> ids) {
    const npy_intp n = static_cast<npy_intp>(ids.size());
    return array_from_vector(std::move(ids), {n});
}

void set_item(PyObject* dict, const char* key, const Ref& value) {
    check(PyDict_SetItemString(dict, key, value.get()));
}

Ref partial(PyObject* self, const BoundArgs& args) {
    std::vector<std::uint8_t> meta;
    if (args[0] != Py_None) {
        auto b = args.convert(0, bytes_of);
        meta.assign(b.begin(), b.end());
    }
    EvaluatorObject& obj = EvaluatorObject::of(self);
    SharedBorrow borrow(obj.borrow);
    const eval::EvaluatorCore& core = *obj.value;
    std::vector<std::uint8_t> encoded = without_gil([&] {
        eval::PartialRecord rec = eval::build_partial(core);
        rec.meta = std::move(meta);
        return eval::encode_partial(rec);
    });
    return bytes_object(encoded);
}

Ref read_partial(PyObject*, const BoundArgs& args) {
    Ref held = Ref::borrow(args[0]);
    const auto data = args.convert(0, bytes_of);
    eval::PartialRecord rec = without_gil([&] { return eval::decode_partial(data); });
    Ref out = Ref::steal(PyDict_New());
    set_item(out.get(), "version", Ref::steal(PyLong_FromUnsignedLong(eval::kPartialFormatVersion)));
    set_item(out.get(), "iou_type",
             Ref::steal(PyUnicode_FromString(kKindNames[static_cast<std::size_t>(rec.params.iou_type)])));
    set_item(out.get(), "img_ids", ids_array(std::move(rec.params.img_ids)));
    set_item(out.get(), "pairs", Ref::steal(PyLong_FromSize_t(rec.pairs())));
    set_item(out.get(), "detections", Ref::steal(PyLong_FromSize_t(rec.scores.size())));
    set_item(out.get(), "meta", bytes_object(rec.meta));
    return out;
}

Ref merge_partials(PyObject*, const BoundArgs& args) {
    // Hold every item: the list may change while the lock is released.
    auto hold_bytes = [](PyObject* item) {
        bytes_of(item);  // refuses anything else
        return Ref::borrow(item);
    };
    std::vector<Ref> held = args.convert(0, [&](PyObject* o) { return to_vector<Ref>(o, hold_bytes); });
    std::vector<std::span<const std::uint8_t>> data;
    for (const Ref& r : held) data.push_back(bytes_of(r.get()));

    std::vector<eval::PartialRecord> parts(data.size());
    eval::MergedPartials merged = without_gil([&] {
        // Each partial decodes into its own slot; the first failure is raised.
        parallel::parallel_for(data.size(), 1, [&](std::size_t i) { parts[i] = eval::decode_partial(data[i]); });
        return eval::merge_partials(parts);
    });

    eval::EvalArrays& a = merged.arrays;
    const npy_intp T = static_cast<npy_intp>(a.T), R = static_cast<npy_intp>(a.R), K = static_cast<npy_intp>(a.K),
                   A = static_cast<npy_intp>(a.A), M = static_cast<npy_intp>(a.M);
    Ref out = Ref::steal(PyDict_New());
    Ref counts = Ref::steal(Py_BuildValue("[nnnnn]", T, R, K, A, M));
    set_item(out.get(), "counts", counts);
    set_item(out.get(), "precision", array_from_vector(std::move(a.precision), {T, R, K, A, M}));
    set_item(out.get(), "recall", array_from_vector(std::move(a.recall), {T, K, A, M}));
    set_item(out.get(), "scores", array_from_vector(std::move(a.scores), {T, R, K, A, M}));
    set_item(out.get(), "img_ids", ids_array(std::move(merged.params.img_ids)));
    Ref metas = Ref::steal(PyList_New(static_cast<Py_ssize_t>(parts.size())));
    for (std::size_t i = 0; i < parts.size(); ++i)
        PyList_SET_ITEM(metas.get(), static_cast<Py_ssize_t>(i), bytes_object(parts[i].meta).release());
    set_item(out.get(), "meta", metas);
    return out;
}

}  // namespace

const Callable evaluator_partial_fn{
    "Evaluator.partial",
    "partial($self, meta=None)\n--\n\n"
    "The partial result of this evaluator's images as bytes: what accumulation\n"
    "needs of every image's matches, with the parameters and the bytes `meta`.\n"
    "The image ids must be strictly ascending. Partials of disjoint shards merge\n"
    "with merge_partials into the arrays of one run over all their images.",
    partial};

const Callable read_partial_fn{
    "read_partial",
    "read_partial(data)\n--\n\n"
    "Checks the bytes of a partial result and returns what they hold: a dict of\n"
    "'version', 'iou_type', 'img_ids' (int64 array), 'pairs', 'detections' and\n"
    "'meta' (bytes). Bytes that are not a partial result, of another format\n"
    "version, truncated or corrupted raise ValueError.",
    read_partial};

const Callable merge_partials_fn{
    "merge_partials",
    "merge_partials(partials)\n--\n\n"
    "Merges the partial results (a sequence of bytes) of disjoint image shards\n"
    "into the arrays of one run over all their images: a dict of 'counts',\n"
    "'precision', 'recall', 'scores' (as run() returns them), 'img_ids' (the\n"
    "union, ascending) and 'meta' (each partial's bytes). Partials with\n"
    "different parameters or a shared image raise ValueError.",
    merge_partials};

}  // namespace brandor::py
