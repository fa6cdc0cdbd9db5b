// Record: one annotation as the compact loaders read it, straight from the
// pull parser without building anything. The eleven known keys are matched
// exactly; any other key is skipped with its value. Segmentation and pose
// fields are kept as byte spans of their text. Errors are json::ParseErrors
// worded like the messages of a typed deserializer ("missing field `bbox`",
// "invalid type: string \"a\", expected i64", ...).
#pragma once

#include <cstdint>

#include "core/json/parser.hpp"

namespace brandor::compact {

// An optional value's span: `present` false means absent (or JSON null).
struct OptionalSpan {
    bool present = false;
    json::Span span{0, 0};
};

struct Record {
    OptionalSpan segmentation;
    bool has_caption = false;
    bool has_id = false;
    bool has_area = false;
    bool has_score = false;
    bool crowd = false;  // iscrowd true or a non-zero integer
    std::int64_t id = 0;
    std::int64_t image_id = 0;
    std::int64_t category_id = 0;
    double bbox[4] = {0, 0, 0, 0};
    double area = 0;
    double score = 0;
    OptionalSpan keypoints;
    OptionalSpan num_keypoints;
};

// Reads the annotation value at the parser's position (an object, or an array
// read positionally in field order); the parser ends just after it.
Record read_record(json::Parser& parser);

}  // namespace brandor::compact
