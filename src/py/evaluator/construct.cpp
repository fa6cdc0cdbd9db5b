// Evaluator.__new__: converts the parameters in signature order, reads both
// annotation lists, indexes them and moves everything into the new object.
#include <exception>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "core/debug_quote.hpp"
#include "core/error.hpp"
#include "core/eval/compact_reader.hpp"
#include "core/eval/evaluator_core.hpp"
#include "core/eval/boundary_bands.hpp"
#include "core/eval/mask_rasteriser.hpp"
#include "py/compact/compact_bbox.hpp"
#include "py/evaluator/evaluator.hpp"
#include "py/evaluator/list_reader.hpp"
#include "py/kit/convert.hpp"
#include "py/kit/gil.hpp"
#include "py/kit/numpy_exp.hpp"

namespace brandor::py {
namespace {

using eval::AreaRange;
using eval::EvalParams;
using eval::IouType;

using eval::ImageSize;
using eval::ImageSizes;

ImageSizes read_img_sizes(PyObject* o) {
    if (!PyDict_Check(o)) not_an_instance(o, "dict");
    ImageSizes sizes;
    sizes.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(o)));
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(o, &pos, &k, &v)) {
        Ref key_ref = Ref::borrow(k), value_ref = Ref::borrow(v);
        std::int64_t id = to_i64(k);
        PyObject* pair = expect_tuple(v, 2);
        std::uint32_t h = to_u32(PyTuple_GET_ITEM(pair, 0));
        std::uint32_t w = to_u32(PyTuple_GET_ITEM(pair, 1));
        sizes[id] = ImageSize{h, w};
    }
    return sizes;
}

AreaRange read_area_range(PyObject* o) {
    std::size_t n = sequence_length(o);
    if (n != 2) throw value_error("expected a sequence of length 2 (got " + std::to_string(n) + ")");
    std::vector<double> pair = to_f64_vector(o);
    // The sequence may have changed length while its elements converted.
    if (pair.size() != 2)
        throw value_error("expected a sequence of length 2 (got " + std::to_string(pair.size()) + ")");
    return AreaRange{pair[0], pair[1]};
}

// Splits the masks in job order (ground truth first) between the two tables;
// counts text stays in one buffer that both tables share.
void install_rasterised(eval::EvaluatorCore& core, eval::RasterisedMasks&& out) {
    const std::size_t g = core.gt.size();
    auto take = [](auto& all, std::size_t begin, std::size_t end) {
        using Vector = std::remove_reference_t<decltype(all)>;
        if (all.empty()) return Vector{};
        if (end > all.size()) throw InternalError("fewer masks than annotations");
        return Vector(std::make_move_iterator(all.begin() + static_cast<std::ptrdiff_t>(begin)),
                      std::make_move_iterator(all.begin() + static_cast<std::ptrdiff_t>(end)));
    };
    const std::size_t total = g + core.dt.size();
    eval::install_masks(core.gt, take(out.masks, 0, g));
    eval::install_masks(core.dt, take(out.masks, g, total));
    auto text = std::make_shared<const std::string>(std::move(out.text));
    eval::install_mask_texts(core.gt, text, take(out.texts, 0, g));
    eval::install_mask_texts(core.dt, text, take(out.texts, g, total));
}

// Reads both lists with the rasteriser thread beside the reader; the thread is
// joined on every path. A rasteriser failure wins over a reading error.
void read_lists(eval::EvaluatorCore& core, PyObject* gt_anns, PyObject* dt_anns, ListSource source) {
    const bool masks = eval::needs_masks(source.kind);
    const std::size_t slots =
        masks ? static_cast<std::size_t>(PyList_GET_SIZE(gt_anns) + PyList_GET_SIZE(dt_anns)) : 0;
    eval::MaskRasteriser rasteriser(source.kind == IouType::Segm, slots, core.timings);
    eval::JobSink sink(rasteriser, core.timings);
    if (masks) source.jobs = &sink;
    std::exception_ptr reading_failed;
    try {
        core.gt = read_annotation_list(gt_anns, true, source, core.timings);
        core.dt = read_annotation_list(dt_anns, false, source, core.timings);
        if (masks) sink.flush();
    } catch (...) {
        reading_failed = std::current_exception();
    }
    eval::RasterisedMasks out = rasteriser.finish();
    if (reading_failed) std::rethrow_exception(reading_failed);
    install_rasterised(core, std::move(out));
}

// An annotation source: a list, or a CompactBbox held under a shared borrow
// for the whole construction (its store is immutable, so the lock may be
// released while it is read).
class Source {
public:
    explicit Source(PyObject* o) {
        if (PyObject_TypeCheck(o, compact_bbox_type())) {
            auto& object = CompactBboxObject::of(o);
            borrow_.emplace(object.borrow);
            store_ = object.value.get();
            list_ = Ref::steal(PyList_New(0));  // takes part in list reading as an empty list
        } else if (PyList_Check(o)) {
            list_ = Ref::borrow(o);
        } else {
            not_an_instance(o, "list");
        }
    }
    PyObject* list() const { return list_.get(); }
    const compact::CompactStore* store() const { return store_; }

private:
    std::optional<SharedBorrow> borrow_;
    const compact::CompactStore* store_ = nullptr;
    Ref list_;
};

// Replaces the table of each compact side by one read from its store, ground
// truth first. Mask kinds read only rows whose group has an instance on the
// other side; every kind but bbox reads with the interpreter lock released.
void read_stores(eval::EvaluatorCore& core, const Source& gt, const Source& dt, const eval::IdMaps& ids,
                 const ImageSizes& sizes) {
    const EvalParams& p = core.params;
    const bool masks = eval::needs_masks(p.iou_type);
    auto read = [&](const compact::CompactStore& store, bool ground_truth, std::span<const eval::RowPlace> places,
                    const eval::CounterpartSet& counterparts) {
        const eval::CompactReadContext context{
            p.iou_type, p.img_ids,  sizes,        counterparts,
            p.use_cats, p.category_slots(), p.budget(), core.timings,
        };
        if (p.iou_type == IouType::Bbox) return eval::read_compact(store, ground_truth, places, context);
        return without_gil([&] { return eval::read_compact(store, ground_truth, places, context); });
    };
    std::vector<eval::RowPlace> dt_places;
    if (dt.store()) dt_places = eval::record_places(dt.store()->columns, ids);
    if (gt.store()) {
        const auto places = eval::record_places(gt.store()->columns, ids);
        eval::CounterpartSet counterparts(p.use_cats);
        if (masks) {
            if (dt.store())
                for (const eval::RowPlace& place : dt_places) counterparts.add(place);
            else
                counterparts.add_table(core.dt);
        }
        counterparts.seal();
        core.gt = read(*gt.store(), true, places, counterparts);
    }
    if (dt.store()) {
        eval::CounterpartSet counterparts(p.use_cats);
        if (masks) counterparts.add_table(core.gt);
        counterparts.seal();
        core.dt = read(*dt.store(), false, dt_places, counterparts);
    }
}

Ref evaluator_new(PyObject* type, const BoundArgs& args) {
    auto core = std::make_unique<eval::EvaluatorCore>();
    EvalParams& p = core->params;
    // Image sizes give masks their size; box and keypoint kinds only convert
    // them, so that malformed sizes are reported the same way for every kind.
    const ImageSizes sizes = args.convert(2, read_img_sizes);
    p.img_ids = args.convert(3, to_i64_vector);
    p.cat_ids = args.convert(4, to_i64_vector);
    p.iou_thrs = args.convert(5, to_f64_vector);
    p.rec_thrs = args.convert(6, to_f64_vector);
    p.max_dets = args.convert(7, to_u64_vector);
    p.area_rng = args.convert(8, [](PyObject* o) { return to_vector<AreaRange>(o, read_area_range); });
    p.use_cats = args.convert(9, to_bool);
    const std::string iou_text(args.convert(10, to_text));
    p.kpt_sigmas = args.convert(11, to_f64_vector);
    p.use_area = args.convert(12, to_bool);
    const double boundary_dilation = args.convert(13, to_f64);

    auto kind = eval::iou_type_from_text(iou_text);
    if (!kind)
        throw value_error("iouType must be one of segm, bbox, keypoints, boundary; got " + debug_quote(iou_text));
    p.iou_type = *kind;

    const eval::IdMaps ids{eval::position_map(p.img_ids), eval::position_map(p.cat_ids)};

    const Source gt(args[0]);
    const Source dt(args[1]);

    read_lists(*core, gt.list(), dt.list(), ListSource{*kind, ids, &sizes});
    if (gt.store() || dt.store()) read_stores(*core, gt, dt, ids, sizes);
    eval::check_tables(*core);
    eval::index_tables(*core);
    eval::compute_boundary_bands(*core, boundary_dilation);
    if (p.iou_type == IouType::Keypoints) core->exp = numpy_exp();

    return EvaluatorObject::create(reinterpret_cast<PyTypeObject*>(type), std::move(core));
}

}  // namespace

const Callable evaluator_new_fn{
    "Evaluator.__new__",
    "Evaluator(gt_anns, dt_anns, img_sizes, img_ids, cat_ids, iou_thrs, rec_thrs, max_dets, area_rng, "
    "use_cats, iou_type, kpt_sigmas, use_area=True, boundary_dilation=0.02)\n--\n\n"
    "The evaluation engine, constructed once from prepared annotations.",
    evaluator_new};

}  // namespace brandor::py
