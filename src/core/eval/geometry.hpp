// Per-table geometry stores: what similarity compares, one store per
// InstanceTable, chosen by the evaluation kind. Mask kinds add their stores
// (decoded, compressed, with boundaries) as further alternatives of Geometry;
// similarity dispatches on the pair of alternatives.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <string>
#include <variant>
#include <vector>

#include "core/rle/rle.hpp"

namespace brandor::eval {

// One [x, y, w, h] per row, owned by the table.
struct BoxStore {
    std::vector<double> xywh;
};

// The same layout, held in a column shared by reference with another owner
// (a compact store): `owner` keeps the memory behind `xywh` alive.
struct SharedBoxStore {
    std::shared_ptr<const void> owner;
    std::span<const double> xywh;
};

// Keypoint coordinates, x and y interleaved, 2N per row. Ground truth also
// has one visibility byte per keypoint and row (1 when visible). `offsets`
// gives each row's start in `coords` when rows do not all carry N keypoints
// (kNoKeypoints for a row without any); empty means row r starts at r * 2N.
struct KeypointStore {
    static constexpr std::uint64_t kNoKeypoints = 0xFFFFFFFFFFFFFFFFull;
    std::vector<double> coords;
    std::vector<std::uint8_t> visibility;
    std::vector<std::uint64_t> offsets;
    std::uint32_t keypoint_count = 0;  // N; 0 until a row with keypoints is seen

    std::uint64_t row_start(std::size_t row) const {
        return offsets.empty() ? static_cast<std::uint64_t>(row) * 2 * keypoint_count : offsets[row];
    }
};

// Where one row's compressed counts text lies in a MaskStore's text, and the
// mask's size.
struct MaskText {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::uint32_t h = 0;
    std::uint32_t w = 0;
};

// One mask per row (segm), kept as its compressed counts text, a quarter or
// less of the memory of its run array: similarity decodes the masks of an
// image pair when it compares them, so decoded masks live no longer than the
// pair's work. `text` is shared by the two tables of one Evaluator.
struct MaskStore {
    std::shared_ptr<const std::string> text;
    std::vector<MaskText> rows;

    rle::Rle mask(std::size_t row) const;
};

// One mask and its boundary band per row (Boundary IoU).
struct MaskBoundaryStore {
    std::vector<rle::Rle> masks;
    std::vector<rle::Rle> boundaries;
};

// One mask per row that is either a compressed counts string left inside a
// shared text (decoded only when similarity compares the row) or an Rle made
// at construction. `owner` keeps the memory behind `text` alive.
struct CompressedMask {
    static constexpr std::uint32_t kNoOwned = 0xFFFFFFFFu;
    std::uint32_t h = 0;
    std::uint32_t w = 0;
    std::uint64_t offset = 0;          // of the counts text in `text`
    std::uint32_t length = 0;
    std::uint32_t owned = kNoOwned;    // index into `owned`, or the text's counts
};

struct CompressedMaskStore {
    std::shared_ptr<const void> owner;
    std::string_view text;
    std::vector<CompressedMask> entries;
    std::vector<rle::Rle> owned;
};

using Geometry =
    std::variant<BoxStore, SharedBoxStore, KeypointStore, MaskStore, MaskBoundaryStore, CompressedMaskStore>;

// The box rows of a box store, or an empty span for any other store.
inline std::span<const double> box_rows(const Geometry& g) {
    if (auto* b = std::get_if<BoxStore>(&g)) return b->xywh;
    if (auto* s = std::get_if<SharedBoxStore>(&g)) return s->xywh;
    return {};
}

inline bool is_mask_store(const Geometry& g) {
    return std::holds_alternative<MaskStore>(g) || std::holds_alternative<CompressedMaskStore>(g);
}

inline bool is_box_store(const Geometry& g) {
    return std::holds_alternative<BoxStore>(g) || std::holds_alternative<SharedBoxStore>(g);
}

}  // namespace brandor::eval
