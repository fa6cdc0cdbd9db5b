// The compact column store of detection results or dataset annotations: flat
// columns with one entry per annotation in file (or array row) order, and the
// byte spans into the file snapshot for the fields kept as text. The box
// column and the snapshot are shared by reference counting and never modified,
// so an evaluator can hold them without copying.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/json/file_buffer.hpp"

namespace brandor::compact {

// Score and ids of one annotation. The ids are meaningless once the wide ids
// column exists.
struct DetectionRow {
    double score;
    std::int32_t image_id;
    std::int32_t category_id;
};
static_assert(sizeof(DetectionRow) == 16);

struct WideIds {
    std::int64_t image_id;
    std::int64_t category_id;
};
static_assert(sizeof(WideIds) == 16);

struct GroundTruthMeta {
    std::int64_t id;
    double area;
    std::uint8_t iscrowd;  // 0 or 1
};
static_assert(sizeof(GroundTruthMeta) == 24);

// Byte offset and length of a value's exact JSON text in the snapshot.
struct TextSpan {
    static constexpr std::uint32_t kAbsentOffset = 0xFFFFFFFFu;
    std::uint32_t offset = kAbsentOffset;
    std::uint32_t length = 0;
    bool present() const { return offset != kAbsentOffset || length != 0; }
};
static_assert(sizeof(TextSpan) == 8);

struct PoseSpans {
    TextSpan keypoints;
    TextSpan num_keypoints;
};
static_assert(sizeof(PoseSpans) == 16);

// [x, y, w, h] per annotation, four doubles each, shared between the store
// and every consumer that holds it.
using BoxColumn = std::shared_ptr<const std::vector<double>>;
// The loaded file's bytes, never modified.
using Snapshot = std::shared_ptr<const json::FileBuffer>;

struct CompactColumns {
    std::vector<DetectionRow> rows;
    BoxColumn boxes;
    std::optional<std::vector<WideIds>> wide_ids;           // only once some id needs 64 bits
    std::optional<std::vector<GroundTruthMeta>> gt_meta;    // dataset mode only
    std::vector<PoseSpans> pose;                            // empty until the first pose field
    std::optional<std::vector<TextSpan>> segmentation;      // absent when spans are disabled

    std::size_t size() const { return rows.size(); }

    std::int64_t image_id(std::size_t i) const { return wide_ids ? (*wide_ids)[i].image_id : rows[i].image_id; }
    std::int64_t category_id(std::size_t i) const {
        return wide_ids ? (*wide_ids)[i].category_id : rows[i].category_id;
    }
    double score(std::size_t i) const { return rows[i].score; }
    std::span<const double, 4> box(std::size_t i) const { return std::span<const double, 4>(boxes->data() + 4 * i, 4); }
    // id, area and iscrowd as stored (dataset mode) or as loadRes assigns
    // them to results: position + 1, w * h and 0.
    std::int64_t id(std::size_t i) const { return gt_meta ? (*gt_meta)[i].id : static_cast<std::int64_t>(i) + 1; }
    double area(std::size_t i) const { return gt_meta ? (*gt_meta)[i].area : box(i)[2] * box(i)[3]; }
    std::uint8_t iscrowd(std::size_t i) const { return gt_meta ? (*gt_meta)[i].iscrowd : 0; }
    TextSpan segmentation_span(std::size_t i) const {
        return segmentation && !segmentation->empty() ? (*segmentation)[i] : TextSpan{};
    }
    PoseSpans pose_spans(std::size_t i) const { return pose.empty() ? PoseSpans{} : pose[i]; }

    // Bytes reserved by the columns, the segmentation spans not counted.
    std::size_t column_bytes() const;
};

// The native record behind a CompactBbox: columns, snapshot and how they were
// made. Fixed at creation.
struct CompactStore {
    CompactColumns columns;
    Snapshot snapshot;       // empty buffer for array-backed stores
    bool results = false;    // a detection list (ids, areas, crowd flags derived)
    bool from_array = false; // built from an Nx7 array
    bool float32 = false;    // that array was float32
};

}  // namespace brandor::compact
