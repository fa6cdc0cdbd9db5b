#include "core/eval/compact_reader.hpp"

#include <optional>
#include <string>

#include "core/error.hpp"
#include "core/eval/budget_filter.hpp"
#include "core/eval/job_sink.hpp"
#include "core/eval/mask_rasteriser.hpp"
#include "core/eval/mask_text.hpp"
#include "core/json/parser.hpp"
#include "core/json/unexpected.hpp"
#include "core/parallel/pool.hpp"

namespace brandor::eval {
namespace {

using compact::CompactColumns;
using compact::CompactStore;
using compact::TextSpan;

// The table's rows and, per row, the record it came from.
struct Rows {
    InstanceTable table;
    std::vector<std::size_t> records;
};

double record_area(const CompactStore& store, std::size_t i) {
    const CompactColumns& c = store.columns;
    if (c.gt_meta || !store.float32) return c.area(i);
    // A float32 source's area is the 32-bit product, as NumPy forms it.
    const auto box = c.box(i);
    return static_cast<double>(static_cast<float>(box[2]) * static_cast<float>(box[3]));
}

Rows build_rows(const CompactStore& store, bool ground_truth, std::span<const RowPlace> places, IouType kind) {
    const CompactColumns& c = store.columns;
    std::size_t placed = 0;
    for (const RowPlace& p : places) placed += p.known();
    Rows rows{make_instance_table(placed, kind), {}};
    rows.records.reserve(placed);
    for (std::size_t i = 0; i < c.size(); ++i) {
        if (!places[i].known()) continue;
        const std::uint8_t crowd = ground_truth ? c.iscrowd(i) : 0;
        append_row(rows.table, RawRow{c.id(i), c.score(i), record_area(store, i), crowd, crowd}, places[i]);
        rows.records.push_back(i);
    }
    return rows;
}

void install_boxes(const CompactStore& store, Rows& rows) {
    const CompactColumns& c = store.columns;
    if (rows.records.size() == c.size()) {
        // Every record is a row: share the store's column.
        rows.table.geometry = SharedBoxStore{c.boxes, std::span<const double>(*c.boxes)};
        return;
    }
    auto& boxes = std::get<BoxStore>(rows.table.geometry);
    for (std::size_t i : rows.records) {
        const auto b = c.box(i);
        boxes.xywh.insert(boxes.xywh.end(), b.begin(), b.end());
    }
}

// The rows whose geometry is read: every row of ground truth, the detections
// the budget filter keeps.
std::vector<std::uint32_t> read_rows(const InstanceTable& table, bool ground_truth,
                                     const CompactReadContext& context) {
    std::vector<std::uint32_t> out;
    out.reserve(table.size());
    if (ground_truth) {
        for (std::size_t r = 0; r < table.size(); ++r) out.push_back(static_cast<std::uint32_t>(r));
        return out;
    }
    const std::vector<std::uint8_t> keep = budget_keep(table, context.slots, context.use_cats, context.budget);
    for (std::size_t r = 0; r < table.size(); ++r)
        if (keep[r]) out.push_back(static_cast<std::uint32_t>(r));
    return out;
}

// Runs chunk(begin, end) over [0, n) on the pool. When any chunk fails, the
// items are run again one by one in order, so the error reported is always
// the first one in row order, whatever the scheduling.
template <class Chunk>
void for_rows_in_order(std::size_t n, const char* what, Chunk&& chunk) {
    try {
        parallel::parallel_for_chunks(n, 16, chunk);
        return;
    } catch (...) {
    }
    for (std::size_t i = 0; i < n; ++i) chunk(i, i + 1);
    throw InternalError(std::string("internal error: entered unreachable code: a parallel ") + what +
                        " failure must fail sequentially");
}

std::string_view span_text(const CompactStore& store, TextSpan s) {
    const std::string_view all = store.snapshot->view();
    if (std::uint64_t{s.offset} + s.length > all.size()) throw InternalError("a span outside the snapshot");
    return all.substr(s.offset, s.length);
}

// ---------------------------------------------------------------- keypoints

// The numbers of one keypoints text, checked to hold whole triplets.
void parse_triplets(std::string_view text, std::vector<double>& numbers) {
    numbers.clear();
    json::Parser p(text);
    if (p.peek_value() != json::ValueType::Array) p.fail_invalid_type("keypoint x/y/visibility triplets");
    p.begin_array();
    while (p.next_element()) {
        if (p.peek_value() != json::ValueType::Number) p.fail_invalid_type("a numeric keypoint coordinate");
        const json::Number n = p.read_number();
        numbers.push_back(n.kind == json::Number::Kind::Unsigned ? static_cast<double>(n.u)
                          : n.kind == json::Number::Kind::Signed ? static_cast<double>(n.i)
                                                                  : n.f);
    }
    if (numbers.size() % 3 != 0) p.fail_message("incomplete keypoint triplet");
}

// Whether a num_keypoints text counts no keypoints: absent, null or 0. An
// integer (or a boolean, as Python's integer conversion takes it) is read;
// anything else is refused.
bool no_keypoint_count(const CompactStore& store, TextSpan span) {
    if (!span.present()) return true;
    json::Parser p(span_text(store, span));
    switch (p.peek_value()) {
        case json::ValueType::Null: return true;
        case json::ValueType::Bool: return !p.read_bool();
        case json::ValueType::Number: {
            const json::Number n = p.read_number();
            if (n.kind == json::Number::Kind::Unsigned) return n.u == 0;
            if (n.kind == json::Number::Kind::Signed) return n.i == 0;
            p.fail_message("invalid type: " + json::describe_number(n) + ", expected i64");
        }
        default: p.fail_invalid_type("i64");
    }
}

void install_keypoints(const CompactStore& store, bool ground_truth, Rows& rows, const CompactReadContext& context) {
    const CompactColumns& c = store.columns;
    InstanceTable& t = rows.table;
    if (ground_truth) {
        t.boxes.reserve(4 * t.size());
        for (std::size_t r = 0; r < t.size(); ++r) {
            const std::size_t i = rows.records[r];
            const auto b = c.box(i);
            t.boxes.insert(t.boxes.end(), b.begin(), b.end());
            // As from a list (and as the reference's keypoint evaluation does),
            // a ground truth without keypoints counted is ignored.
            if (no_keypoint_count(store, c.pose_spans(i).num_keypoints)) t.ignore[r] = 1;
        }
    }
    const std::vector<std::uint32_t> listed = read_rows(t, ground_truth, context);
    auto& kp = std::get<KeypointStore>(t.geometry);
    if (listed.empty()) return;

    // A row that can be compared needs its keypoints (as from a list).
    auto text_of = [&](std::uint32_t row) {
        const TextSpan s = c.pose_spans(rows.records[row]).keypoints;
        if (!s.present())
            throw value_error("annotation " + std::to_string(checked_at(t.ids, row)) + " has no keypoints");
        return span_text(store, s);
    };
    std::vector<double> numbers;
    parse_triplets(text_of(listed[0]), numbers);
    const std::size_t n = numbers.size() / 3;
    if (n == 0) throw value_error("annotation " + std::to_string(t.ids[listed[0]]) + " has no keypoints");
    kp.keypoint_count = static_cast<std::uint32_t>(n);  // a text of at most 4 GiB holds fewer
    kp.coords.assign(listed.size() * 2 * n, 0.0);
    if (ground_truth) kp.visibility.assign(listed.size() * n, 0);

    for_rows_in_order(listed.size(), "keypoint", [&](std::size_t begin, std::size_t end) {
        std::vector<double> values;
        for (std::size_t k = begin; k < end; ++k) {
            const std::string_view text = text_of(listed[k]);
            parse_triplets(text, values);
            if (values.size() != 3 * n) {
                json::Parser at_end(text);
                at_end.skip_value();
                at_end.fail_message("inconsistent keypoint counts");
            }
            double* xy = kp.coords.data() + k * 2 * n;
            for (std::size_t j = 0; j < n; ++j) {
                xy[2 * j] = values[3 * j];
                xy[2 * j + 1] = values[3 * j + 1];
                if (ground_truth) kp.visibility[k * n + j] = values[3 * j + 2] > 0.0 ? 1 : 0;
            }
        }
    });
    // Detections beyond the budget have no coordinates: rows then find theirs
    // through offsets.
    if (listed.size() != t.size()) {
        kp.offsets.assign(t.size(), KeypointStore::kNoKeypoints);
        for (std::size_t k = 0; k < listed.size(); ++k) kp.offsets[listed[k]] = std::uint64_t{k} * 2 * n;
    }
}

// -------------------------------------------------------------------- masks

// Per image position, the image's size if img_sizes has it.
std::vector<std::optional<ImageSize>> sizes_by_position(const CompactReadContext& context) {
    std::vector<std::optional<ImageSize>> out(context.img_ids.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
        auto it = context.sizes.find(context.img_ids[i]);
        if (it != context.sizes.end()) out[i] = it->second;
    }
    return out;
}

// Rows whose mask is read: listed, and with a counterpart group.
std::vector<std::uint8_t> mask_needed(const Rows& rows, bool ground_truth, const CompactReadContext& context) {
    std::vector<std::uint8_t> needed(rows.table.size(), 0);
    for (std::uint32_t r : read_rows(rows.table, ground_truth, context))
        needed[r] = context.counterparts.contains(RowPlace{rows.table.image_index[r], rows.table.category_index[r]});
    return needed;
}

ImageSize size_of(const Rows& rows, const CompactStore& store, std::size_t row,
                  const std::vector<std::optional<ImageSize>>& sizes) {
    const auto& size = checked_at(sizes, rows.table.image_index[row]);
    if (!size)
        throw value_error("no image entry for image_id " + std::to_string(store.columns.image_id(rows.records[row])));
    return *size;
}

// segm with segmentation spans: every needed row parsed on the pool; counts
// strings stay in the snapshot, anything else is rasterised at once.
void install_compressed_masks(const CompactStore& store, Rows& rows, bool ground_truth,
                              const CompactReadContext& context) {
    const CompactColumns& c = store.columns;
    const std::vector<std::uint8_t> needed = mask_needed(rows, ground_truth, context);
    const auto sizes = sizes_by_position(context);
    std::vector<std::uint32_t> listed;
    for (std::size_t r = 0; r < needed.size(); ++r)
        if (needed[r]) listed.push_back(static_cast<std::uint32_t>(r));

    CompressedMaskStore out;
    out.owner = store.snapshot;
    out.text = store.snapshot->view();
    out.entries.resize(rows.table.size());
    std::vector<rle::Rle> made(listed.size());  // rasterised here, by listed position
    for_rows_in_order(listed.size(), "mask", [&](std::size_t begin, std::size_t end) {
        rle::RasterScratch scratch;
        for (std::size_t k = begin; k < end; ++k) {
            const std::size_t row = listed[k], record = rows.records[row];
            const ImageSize size = size_of(rows, store, row, sizes);
            CompressedMask& entry = out.entries[row];
            entry = CompressedMask{size.height, size.width, 0, 0, CompressedMask::kNoOwned};
            const TextSpan span = c.segmentation_span(record);
            const double* box = c.box(record).data();
            if (!span.present()) {
                GeometryJob job = box_job(box, store.float32, size.height, size.width);
                made[k] = rasterise_job(job, scratch);
                entry.owned = 0;  // numbered below
                continue;
            }
            const std::string_view text = span_text(store, span);
            json::Parser parser(text);
            MaskGeometry g = read_mask_geometry(parser);
            if (const auto* in_text = std::get_if<CountsInText>(&g)) {
                entry.offset = span.offset + in_text->offset;
                entry.length = static_cast<std::uint32_t>(in_text->length);
                continue;
            }
            GeometryJob job = geometry_job(std::move(g), text, box, store.float32, size.height, size.width);
            made[k] = rasterise_job(job, scratch);
            entry.owned = 0;
        }
    });
    for (std::size_t k = 0; k < listed.size(); ++k) {
        CompressedMask& entry = out.entries[listed[k]];
        if (entry.owned == CompressedMask::kNoOwned) continue;
        entry.owned = static_cast<std::uint32_t>(out.owned.size());
        out.owned.push_back(std::move(made[k]));
    }
    rows.table.geometry = std::move(out);
}

// Walks the snapshot's annotation array once, in store order, handing the
// segmentation of every needed record to `take(row, geometry, text)`; other
// elements are skipped unparsed. Stops after the last needed record.
template <class Take>
void walk_snapshot(const CompactStore& store, const Rows& rows, const std::vector<std::uint8_t>& needed, Take&& take) {
    std::size_t last = 0;  // one past the last needed record
    std::vector<std::ptrdiff_t> row_of(store.columns.size(), -1);
    for (std::size_t r = 0; r < needed.size(); ++r)
        if (needed[r]) {
            row_of[rows.records[r]] = static_cast<std::ptrdiff_t>(r);
            last = rows.records[r] + 1;
        }
    if (last == 0) return;
    json::Parser p(store.snapshot->view());
    if (!store.results) {
        if (p.peek_value() != json::ValueType::Object) p.fail_invalid_type("a COCO dataset object");
        p.begin_object();
        for (;;) {
            if (!p.next_member()) p.fail_message("missing annotations");
            if (p.read_key().text == "annotations") break;
            p.skip_value();
        }
    }
    if (p.peek_value() != json::ValueType::Array) p.fail_invalid_type("bbox annotations");
    p.begin_array();
    for (std::size_t k = 0; k < last; ++k) {
        if (!p.next_element()) p.fail_message("missing mask annotation");
        if (row_of[k] < 0) {
            p.skip_value();
            continue;
        }
        MaskGeometry g = NoSegmentation{};
        const json::ValueType type = p.peek_value();
        if (type == json::ValueType::Object) {
            p.begin_object();
            while (p.next_member()) {
                if (p.read_key().text == "segmentation")
                    g = read_mask_geometry(p);
                else
                    p.skip_value();
            }
        } else if (type == json::ValueType::Array) {
            // A record written positionally: segmentation comes first.
            p.begin_array();
            if (p.next_element()) {
                g = read_mask_geometry(p);
                while (p.next_element()) p.skip_value();
            }
        } else {
            p.fail_invalid_type("struct Record");
        }
        take(static_cast<std::size_t>(row_of[k]), std::move(g), p.text());
    }
}

// boundary, and segm without segmentation spans: jobs in row order through
// the rasteriser thread, as for lists. Rows that are not needed get empty masks.
void install_streamed_masks(const CompactStore& store, Rows& rows, bool ground_truth,
                            const CompactReadContext& context) {
    const CompactColumns& c = store.columns;
    const std::vector<std::uint8_t> needed = mask_needed(rows, ground_truth, context);
    const auto sizes = sizes_by_position(context);
    const std::size_t n = rows.table.size();
    MaskRasteriser rasteriser(context.kind == IouType::Segm, n, context.timings);
    JobSink sink(rasteriser, context.timings);
    std::size_t next = 0;  // rows before `next` have their job
    auto push_until = [&](std::size_t row) {
        for (; next < row; ++next) {
            if (!needed[next]) {
                sink.push(GeometryJob{EmptyGeometry{}, 0, 0});
                continue;
            }
            // Array-backed stores have no text: every record is its box.
            const ImageSize size = size_of(rows, store, next, sizes);
            sink.push(box_job(c.box(rows.records[next]).data(), store.float32, size.height, size.width));
        }
    };
    std::exception_ptr failed;
    try {
        if (!store.from_array) {
            walk_snapshot(store, rows, needed, [&](std::size_t row, MaskGeometry&& g, std::string_view text) {
                push_until(row);
                const ImageSize size = size_of(rows, store, row, sizes);
                sink.push(geometry_job(std::move(g), text, c.box(rows.records[row]).data(), store.float32,
                                       size.height, size.width));
                next = row + 1;
            });
            // Rows after the last needed one need nothing.
            for (; next < n; ++next) sink.push(GeometryJob{EmptyGeometry{}, 0, 0});
        }
        push_until(n);
        sink.flush();
    } catch (...) {
        failed = std::current_exception();
    }
    RasterisedMasks out = rasteriser.finish();
    if (failed) std::rethrow_exception(failed);
    // segm keeps the masks as counts text; boundary keeps them decoded, and
    // its bands are made once the tables are indexed.
    install_masks(rows.table, std::move(out.masks));
    install_mask_texts(rows.table, std::make_shared<const std::string>(std::move(out.text)), std::move(out.texts));
}

}  // namespace

std::vector<RowPlace> record_places(const CompactColumns& columns, const IdMaps& ids) {
    std::vector<RowPlace> places(columns.size());
    for (std::size_t i = 0; i < columns.size(); ++i) places[i] = ids.place(columns.image_id(i), columns.category_id(i));
    return places;
}

InstanceTable read_compact(const CompactStore& store, bool ground_truth, std::span<const RowPlace> places,
                           const CompactReadContext& context) {
    if (places.size() != store.columns.size()) throw InternalError("slots for geometry extraction");
    Stopwatch watch;
    Rows rows = build_rows(store, ground_truth, places, context.kind);
    switch (context.kind) {
        case IouType::Bbox: install_boxes(store, rows); break;
        case IouType::Keypoints: install_keypoints(store, ground_truth, rows, context); break;
        case IouType::Segm:
            if (store.columns.segmentation) {
                install_compressed_masks(store, rows, ground_truth, context);
                break;
            }
            [[fallthrough]];
        case IouType::Boundary: install_streamed_masks(store, rows, ground_truth, context); break;
    }
    watch.add_to(ground_truth ? context.timings.gt_read : context.timings.dt_read);
    return std::move(rows.table);
}

}  // namespace brandor::eval
