#include "core/compact/column_builder.hpp"

#include <limits>
#include <utility>

namespace brandor::compact {

namespace {

bool fits_i32(std::int64_t v) {
    return v >= std::numeric_limits<std::int32_t>::min() && v <= std::numeric_limits<std::int32_t>::max();
}

template <class T>
void shrink(std::vector<T>& v) {
    v.shrink_to_fit();
}

}  // namespace

std::size_t CompactColumns::column_bytes() const {
    std::size_t bytes = 16 * (rows.capacity() + pose.capacity());
    if (gt_meta) bytes += 24 * gt_meta->capacity();
    if (wide_ids) bytes += 16 * wide_ids->capacity();
    if (boxes) bytes += 8 * boxes->capacity();  // 32 bytes per [x, y, w, h]
    return bytes;
}

ColumnBuilder::ColumnBuilder(LoadMode mode, bool spans_enabled) : mode_(mode), spans_enabled_(spans_enabled) {}

void ColumnBuilder::reserve(std::size_t n) {
    rows_.reserve(n);
    boxes_.reserve(4 * n);
    if (mode_ == LoadMode::Dataset) gt_meta_.reserve(n);
}

TextSpan ColumnBuilder::to_span(const OptionalSpan& s) {
    if (!s.present) return {};
    return {static_cast<std::uint32_t>(s.span.offset), static_cast<std::uint32_t>(s.span.length)};
}

std::string_view ColumnBuilder::append(const Record& r) {
    const std::size_t n = rows_.size();
    if (mode_ == LoadMode::Results && r.has_caption) return "caption results require caption loading";
    if (mode_ == LoadMode::Dataset) {
        if (!r.has_id) return "missing GT id";
        if (!seen_ids_.insert(r.id).second) return "duplicate GT ids require dictionary indexing";
    }
    if (r.keypoints.present || r.num_keypoints.present) {
        if (!spans_enabled_) return "pose files of 4 GiB or more require dictionary loading";
        pose_.resize(n);  // earlier annotations had no pose fields
        pose_.push_back({to_span(r.keypoints), to_span(r.num_keypoints)});
    } else if (!pose_.empty()) {
        pose_.push_back({});
    }
    if (r.segmentation.present && spans_enabled_) {
        segmentation_.resize(n);
        segmentation_.push_back(to_span(r.segmentation));
    } else if (!segmentation_.empty()) {
        segmentation_.push_back({});
    }
    double area = r.bbox[2] * r.bbox[3];
    std::uint8_t iscrowd = 0;
    if (mode_ == LoadMode::Dataset) {
        if (r.has_area) area = r.area;
        iscrowd = r.crowd ? 1 : 0;
    }
    boxes_.insert(boxes_.end(), r.bbox, r.bbox + 4);
    append_ids(r.has_score ? r.score : 0.0, r.image_id, r.category_id);
    if (mode_ == LoadMode::Dataset) gt_meta_.push_back({r.id, area, iscrowd});
    return {};
}

void ColumnBuilder::append_detection(const double (&box)[4], double score, std::int64_t image_id,
                                     std::int64_t category_id) {
    if (!pose_.empty()) pose_.push_back({});
    if (!segmentation_.empty()) segmentation_.push_back({});
    boxes_.insert(boxes_.end(), box, box + 4);
    append_ids(score, image_id, category_id);
}

void ColumnBuilder::append_ids(double score, std::int64_t image_id, std::int64_t category_id) {
    if (!wide_ && fits_i32(image_id) && fits_i32(category_id)) {
        rows_.push_back({score, static_cast<std::int32_t>(image_id), static_cast<std::int32_t>(category_id)});
        return;
    }
    if (!wide_) {
        // The first id beyond 32 bits: every earlier row moves to the wide column.
        wide_ = true;
        wide_ids_.reserve(rows_.capacity());
        for (const DetectionRow& row : rows_) wide_ids_.push_back({row.image_id, row.category_id});
    }
    wide_ids_.push_back({image_id, category_id});
    rows_.push_back({score, 0, 0});
}

CompactColumns ColumnBuilder::finish() && {
    CompactColumns c;
    shrink(rows_);
    shrink(boxes_);
    c.rows = std::move(rows_);
    c.boxes = std::make_shared<const std::vector<double>>(std::move(boxes_));
    if (wide_) {
        shrink(wide_ids_);
        c.wide_ids = std::move(wide_ids_);
    }
    if (mode_ == LoadMode::Dataset) {
        shrink(gt_meta_);
        c.gt_meta = std::move(gt_meta_);
    }
    shrink(pose_);
    c.pose = std::move(pose_);
    if (spans_enabled_) {
        shrink(segmentation_);
        c.segmentation = std::move(segmentation_);
    }
    seen_ids_ = {};
    return c;
}

CompactColumns ColumnBuilder::join(std::vector<ColumnBuilder>&& pieces) {
    if (pieces.empty()) throw std::logic_error("joining no builders");
    std::size_t total = 0;
    bool wide = false, pose = false, segmentation = false, gt = false;
    for (const ColumnBuilder& b : pieces) {
        total += b.size();
        wide = wide || b.wide_;
        pose = pose || !b.pose_.empty();
        segmentation = segmentation || !b.segmentation_.empty();
        gt = gt || b.mode_ == LoadMode::Dataset;
    }
    ColumnBuilder joined(pieces.front().mode_, pieces.front().spans_enabled_);
    joined.rows_.reserve(total);
    joined.boxes_.reserve(4 * total);
    joined.wide_ = wide;
    if (wide) joined.wide_ids_.reserve(total);
    if (gt) joined.gt_meta_.reserve(total);
    if (pose) joined.pose_.reserve(total);
    if (segmentation) joined.segmentation_.reserve(total);
    for (ColumnBuilder& b : pieces) {
        const std::size_t n = b.size();
        joined.rows_.insert(joined.rows_.end(), b.rows_.begin(), b.rows_.end());
        joined.boxes_.insert(joined.boxes_.end(), b.boxes_.begin(), b.boxes_.end());
        if (wide) {
            if (b.wide_) {
                joined.wide_ids_.insert(joined.wide_ids_.end(), b.wide_ids_.begin(), b.wide_ids_.end());
            } else {
                for (const DetectionRow& row : b.rows_) joined.wide_ids_.push_back({row.image_id, row.category_id});
            }
        }
        if (gt) joined.gt_meta_.insert(joined.gt_meta_.end(), b.gt_meta_.begin(), b.gt_meta_.end());
        // Offsets count from the start of the whole snapshot: no adjustment.
        if (pose) {
            if (b.pose_.empty()) joined.pose_.resize(joined.pose_.size() + n);
            else joined.pose_.insert(joined.pose_.end(), b.pose_.begin(), b.pose_.end());
        }
        if (segmentation) {
            if (b.segmentation_.empty()) joined.segmentation_.resize(joined.segmentation_.size() + n);
            else joined.segmentation_.insert(joined.segmentation_.end(), b.segmentation_.begin(), b.segmentation_.end());
        }
        b = ColumnBuilder(b.mode_, b.spans_enabled_);  // release the piece's memory as it goes
    }
    return std::move(joined).finish();
}

}  // namespace brandor::compact
