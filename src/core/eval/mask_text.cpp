#include "core/eval/mask_text.hpp"

#include <string>

#include "core/json/unexpected.hpp"

namespace brandor::eval {
namespace {

using json::Number;
using json::Parser;
using json::ValueType;

constexpr const char* kSegmentation = "polygon rings or an RLE object";

PolygonGeometry read_polygons(Parser& p) {
    PolygonGeometry g;
    p.begin_array();
    while (p.next_element()) {
        if (p.peek_value() != ValueType::Array) p.fail_invalid_type(kSegmentation);
        p.begin_array();
        while (p.next_element()) {
            if (p.peek_value() != ValueType::Number) p.fail_invalid_type(kSegmentation);
            g.coords.push_back(p.read_number().as_double());
        }
        if (g.coords.size() > 0xFFFFFFFFu) p.fail_message("polygon has too many coordinates");
        g.ring_ends.push_back(static_cast<std::uint32_t>(g.coords.size()));
    }
    return g;
}

UncompressedGeometry read_run_lengths(Parser& p) {
    UncompressedGeometry g;
    p.begin_array();
    while (p.next_element()) {
        if (p.peek_value() != ValueType::Number) p.fail_invalid_type("a uint32 run length");
        const Number n = p.read_number();
        if (n.kind == Number::Kind::Unsigned && n.u <= 0xFFFFFFFFu) {
            g.counts.push_back(static_cast<std::uint32_t>(n.u));
        } else if (n.kind == Number::Kind::Float) {
            p.fail_message("invalid type: " + json::describe_number(n) + ", expected a uint32 run length");
        } else {
            p.fail_message("invalid value: " + json::describe_number(n) + ", expected a uint32 run length");
        }
    }
    return g;
}

MaskGeometry read_counts(Parser& p) {
    switch (p.peek_value()) {
        case ValueType::String: {
            const json::DecodedString s = p.read_string();
            const std::string_view text = p.text();
            // Counts without escapes are read where they stand; others were
            // decoded into the parser's scratch and are copied.
            if (s.text.data() >= text.data() && s.text.data() + s.text.size() <= text.data() + text.size())
                return CountsInText{static_cast<std::size_t>(s.text.data() - text.data()), s.text.size()};
            return CompressedGeometry{std::string(s.text)};
        }
        case ValueType::Array: return read_run_lengths(p);
        default: p.fail_invalid_type("RLE counts");
    }
}

MaskGeometry read_rle_object(Parser& p) {
    p.begin_object();
    MaskGeometry counts = NoSegmentation{};
    bool seen = false;
    while (p.next_member()) {
        const json::DecodedString key = p.read_key();
        if (key.text == "counts") {
            counts = read_counts(p);
            seen = true;
        } else {
            p.skip_value();
        }
    }
    if (!seen) p.fail_message("RLE segmentation is missing counts");
    return counts;
}

}  // namespace

MaskGeometry read_mask_geometry(Parser& p) {
    switch (p.peek_value()) {
        case ValueType::Null: p.read_null(); return NoSegmentation{};
        case ValueType::Array: return read_polygons(p);
        case ValueType::Object: return read_rle_object(p);
        default: p.fail_invalid_type(kSegmentation);
    }
}

GeometryJob box_job(const double* b, bool float32, std::uint32_t h, std::uint32_t w) {
    GeometryJob job;
    job.h = h;
    job.w = w;
    if (!float32) {
        job.geometry = BoxGeometry{{b[0], b[1], b[2], b[3]}};
        return job;
    }
    // The float32 values were widened exactly, so narrowing them back is exact.
    const float x = static_cast<float>(b[0]), y = static_cast<float>(b[1]);
    const double x2 = static_cast<double>(x + static_cast<float>(b[2]));
    const double y2 = static_cast<double>(y + static_cast<float>(b[3]));
    PolygonGeometry rect;
    rect.coords = {b[0], b[1], b[0], y2, x2, y2, x2, b[1]};
    rect.ring_ends = {8};
    job.geometry = std::move(rect);
    return job;
}

GeometryJob geometry_job(MaskGeometry&& g, std::string_view text, const double* xywh, bool float32,
                         std::uint32_t h, std::uint32_t w) {
    if (std::holds_alternative<NoSegmentation>(g)) return box_job(xywh, float32, h, w);
    GeometryJob job;
    job.h = h;
    job.w = w;
    if (auto* in_text = std::get_if<CountsInText>(&g))
        job.geometry = CompressedGeometry{std::string(text.substr(in_text->offset, in_text->length))};
    else if (auto* poly = std::get_if<PolygonGeometry>(&g))
        job.geometry = std::move(*poly);
    else if (auto* runs = std::get_if<UncompressedGeometry>(&g))
        job.geometry = std::move(*runs);
    else
        job.geometry = std::move(std::get<CompressedGeometry>(g));
    return job;
}

}  // namespace brandor::eval
