// ColumnBuilder: appends annotations to compact columns one at a time, in
// order, enforcing the store's limits (no captions among results, unique
// ground-truth ids, spans only while offsets fit 32 bits). Optional columns
// cost nothing until the first annotation that needs them. Builders that read
// consecutive pieces of one file are joined in piece order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/compact/columns.hpp"
#include "core/compact/record.hpp"

namespace brandor::compact {

// Files up to this many bytes keep spans: offsets fit 32 bits and
// 0xFFFFFFFF stays free as the absent marker.
inline constexpr std::size_t kMaxSpanSnapshot = 4294967294u;

enum class LoadMode : std::uint8_t { Results, Dataset };

class ColumnBuilder {
public:
    ColumnBuilder(LoadMode mode, bool spans_enabled);

    // Room for `n` annotations in the columns every annotation fills.
    void reserve(std::size_t n);

    // Appends one record. Returns the error message when the record breaks a
    // limit of the store (nothing is appended then), or an empty view.
    [[nodiscard]] std::string_view append(const Record& record);

    // Appends one detection given by its numbers (results mode, no spans).
    void append_detection(const double (&box)[4], double score, std::int64_t image_id, std::int64_t category_id);

    std::size_t size() const { return rows_.size(); }

    // The finished columns, every column shrunk to its length.
    CompactColumns finish() &&;

    // The columns of builders that read consecutive pieces of one file, in
    // piece order. Each column is reserved once for the total.
    static CompactColumns join(std::vector<ColumnBuilder>&& pieces);

private:
    void append_ids(double score, std::int64_t image_id, std::int64_t category_id);
    static TextSpan to_span(const OptionalSpan& s);

    LoadMode mode_;
    bool spans_enabled_;
    std::vector<DetectionRow> rows_;
    std::vector<double> boxes_;
    bool wide_ = false;
    std::vector<WideIds> wide_ids_;
    std::vector<GroundTruthMeta> gt_meta_;
    std::vector<PoseSpans> pose_;
    std::vector<TextSpan> segmentation_;
    std::unordered_set<std::int64_t> seen_ids_;
};

}  // namespace brandor::compact
