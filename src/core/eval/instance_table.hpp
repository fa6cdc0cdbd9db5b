// The column store of all ground-truth or all detection instances of an
// Evaluator: one row per annotation, in the order of its source, columns as
// plain vectors. Image and category positions use kUnknownIndex for ids that
// are not evaluated; such rows keep their place but take no part.
#pragma once

#include <cstdint>
#include <vector>

#include "core/eval/geometry.hpp"
#include "core/eval/iou_type.hpp"

namespace brandor::eval {

inline constexpr std::uint32_t kUnknownIndex = 0xFFFFFFFFu;

struct InstanceTable {
    std::vector<std::int64_t> ids;
    std::vector<double> scores;
    std::vector<double> areas;
    std::vector<std::uint8_t> iscrowd;
    std::vector<std::uint8_t> ignore;          // ground truth: base ignore flag
    std::vector<std::uint8_t> non_exhaustive;  // detections: LVIS flag
    std::vector<double> boxes;                 // 4 per row, ground truth of keypoints only
    std::vector<std::uint32_t> image_index;
    std::vector<std::uint32_t> category_index;
    Geometry geometry;

    std::size_t size() const { return ids.size(); }
};

// An empty table with every per-row column reserved for `rows` rows and the
// geometry store of `kind` (boxes reserved; keypoints reserved once N is known).
InstanceTable make_instance_table(std::size_t rows, IouType kind);

// Gives a boundary table its masks, one per row in row order (the boundary
// bands follow once the tables are indexed). Other kinds ignore them.
void install_masks(InstanceTable& table, std::vector<rle::Rle>&& masks);

// Gives a segm table its masks as counts text: `rows` (one per table row, in
// row order) locate each mask in `text`. Other kinds ignore them.
void install_mask_texts(InstanceTable& table, std::shared_ptr<const std::string> text,
                        std::vector<MaskText>&& rows);

}  // namespace brandor::eval
