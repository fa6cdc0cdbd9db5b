// The evaluation kind of an Evaluator and the text that names it. One byte,
// with the values the caller-facing layer and the result records rely on.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace brandor::eval {

enum class IouType : std::uint8_t { Segm = 0, Bbox = 1, Keypoints = 2, Boundary = 3 };

// Exact, case-sensitive mapping; "keypoints_crowd" is a synonym of "keypoints".
constexpr std::optional<IouType> iou_type_from_text(std::string_view text) {
    if (text == "segm") return IouType::Segm;
    if (text == "bbox") return IouType::Bbox;
    if (text == "keypoints" || text == "keypoints_crowd") return IouType::Keypoints;
    if (text == "boundary") return IouType::Boundary;
    return std::nullopt;
}

// Only the mask kinds rasterise geometry and use image sizes.
constexpr bool needs_masks(IouType t) { return t == IouType::Segm || t == IouType::Boundary; }

constexpr std::string_view iou_type_name(IouType t) {
    switch (t) {
        case IouType::Segm: return "segm";
        case IouType::Bbox: return "bbox";
        case IouType::Keypoints: return "keypoints";
        case IouType::Boundary: return "boundary";
    }
    return "unknown";
}

}  // namespace brandor::eval
