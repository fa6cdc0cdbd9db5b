#include "core/compact/record.hpp"

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "core/json/unexpected.hpp"

namespace brandor::compact {
namespace {

using json::Number;
using json::Parser;
using json::ValueType;

// Field order: the order of a positional (array) annotation.
enum Field : int {
    kSegmentation, kCaption, kId, kImageId, kCategoryId, kBbox, kArea, kScore, kIscrowd, kKeypoints,
    kNumKeypoints, kFieldCount,
};
constexpr std::string_view kFieldNames[kFieldCount] = {
    "segmentation", "caption", "id", "image_id", "category_id", "bbox",
    "area", "score", "iscrowd", "keypoints", "num_keypoints",
};

// Keys are told apart by length first, then by one comparison of a known
// length (which the compiler inlines).
template <std::size_t N>
bool same_text(std::string_view key, const char (&name)[N]) {
    return std::memcmp(key.data(), name, N - 1) == 0;
}

int field_of(std::string_view key) {
    switch (key.size()) {
        case 2: return same_text(key, "id") ? kId : -1;
        case 4: return same_text(key, "bbox") ? kBbox : same_text(key, "area") ? kArea : -1;
        case 5: return same_text(key, "score") ? kScore : -1;
        case 7: return same_text(key, "caption") ? kCaption : same_text(key, "iscrowd") ? kIscrowd : -1;
        case 8: return same_text(key, "image_id") ? kImageId : -1;
        case 9: return same_text(key, "keypoints") ? kKeypoints : -1;
        case 11: return same_text(key, "category_id") ? kCategoryId : -1;
        case 12: return same_text(key, "segmentation") ? kSegmentation : -1;
        case 13: return same_text(key, "num_keypoints") ? kNumKeypoints : -1;
        default: return -1;
    }
}

std::string backquoted(std::string_view name) { return "`" + std::string(name) + "`"; }

// An integer id: JSON integers in the signed 64-bit range only.
std::int64_t read_i64(Parser& p) {
    if (p.peek_value() == ValueType::Number) {
        const Number n = p.read_number();
        switch (n.kind) {
            case Number::Kind::Signed: return n.i;
            case Number::Kind::Unsigned:
                if (n.u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                    return static_cast<std::int64_t>(n.u);
                p.fail_message("invalid value: integer `" + std::to_string(n.u) + "`, expected i64");
            case Number::Kind::Float: p.fail_message("invalid type: " + json::describe_number(n) + ", expected i64");
        }
    }
    p.fail_invalid_type("i64");
}

double read_f64(Parser& p) {
    if (p.peek_value() == ValueType::Number) return p.read_number().as_double();
    p.fail_invalid_type("f64");
}

// A bbox coordinate: any number, but a JSON integer only while every integer
// of its magnitude is an exact double (|v| <= 2^53).
double read_coordinate(Parser& p) {
    constexpr std::uint64_t kExact = std::uint64_t{1} << 53;
    if (p.peek_value() == ValueType::Number) {
        const Number n = p.read_number();
        const bool too_wide = (n.kind == Number::Kind::Unsigned && n.u > kExact) ||
                              (n.kind == Number::Kind::Signed && n.i < -static_cast<std::int64_t>(kExact));
        if (too_wide) p.fail_message("bbox integer exceeds exact float64 range");
        return n.as_double();
    }
    p.fail_invalid_type("a bbox coordinate with an exactly representable integer part");
}

void read_bbox(Parser& p, double (&box)[4]) {
    if (p.peek_value() != ValueType::Array) p.fail_invalid_type("an array of length 4");
    p.begin_array();
    for (int k = 0; k < 4; ++k) {
        if (!p.next_element()) p.fail_message("invalid length " + std::to_string(k) + ", expected an array of length 4");
        box[k] = read_coordinate(p);
    }
    p.end_array();
}

// Any value; null counts as absent.
OptionalSpan read_optional_span(Parser& p) {
    if (p.peek_value() == ValueType::Null) {
        p.read_null();
        return {};
    }
    return {true, p.skip_value()};
}

// The crowd value: a boolean, or an integer in the signed 64-bit range
// (crowd when not 0). The whole value is read before it is judged, and the
// error stands where the enclosing object's reader would next look: after
// the following whitespace, and after the closing brace if that comes next.
bool read_crowd(Parser& p) {
    bool matched = false;
    bool crowd = false;
    switch (p.peek_value()) {
        case ValueType::Bool:
            crowd = p.read_bool();
            matched = true;
            break;
        case ValueType::Number: {
            const Number n = p.read_number();
            if (n.kind == Number::Kind::Signed) {
                crowd = n.i != 0;
                matched = true;
            } else if (n.kind == Number::Kind::Unsigned &&
                       n.u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                crowd = n.u != 0;
                matched = true;
            }
            break;
        }
        case ValueType::String: p.read_string(); break;
        default: p.skip_value(); break;
    }
    if (matched) return crowd;
    const bool ended = p.at_end();
    std::size_t at = p.offset();
    if (!ended && p.text()[at] == '}') ++at;
    throw json::ParseError(json::ErrorCode::Custom, "data did not match any variant of untagged enum Crowd",
                           json::position_of(p.text(), at));
}

void read_field(Parser& p, int field, Record& r) {
    switch (field) {
        case kSegmentation: r.segmentation = read_optional_span(p); break;
        case kCaption:
            p.skip_value();
            r.has_caption = true;  // present even when null
            break;
        case kId:
            if (p.peek_value() == ValueType::Null) {
                p.read_null();
            } else {
                r.id = read_i64(p);
                r.has_id = true;
            }
            break;
        case kImageId: r.image_id = read_i64(p); break;
        case kCategoryId: r.category_id = read_i64(p); break;
        case kBbox: read_bbox(p, r.bbox); break;
        case kArea:
        case kScore: {
            bool& has = field == kArea ? r.has_area : r.has_score;
            double& value = field == kArea ? r.area : r.score;
            if (p.peek_value() == ValueType::Null) {
                p.read_null();
                has = false;
            } else {
                value = read_f64(p);
                has = true;
            }
            break;
        }
        case kIscrowd:
            if (p.peek_value() == ValueType::Null) {
                p.read_null();
                r.crowd = false;
            } else {
                r.crowd = read_crowd(p);
            }
            break;
        case kKeypoints: r.keypoints = read_optional_span(p); break;
        case kNumKeypoints: r.num_keypoints = read_optional_span(p); break;
        default: break;
    }
}

Record read_positional(Parser& p) {
    Record r;
    p.begin_array();
    for (int field = 0; field < kFieldCount; ++field) {
        if (!p.next_element())
            p.fail_message("invalid length " + std::to_string(field) + ", expected struct Record with 11 elements");
        // A positional annotation cannot leave the caption out: null says it has none.
        if (field == kCaption && p.peek_value() == ValueType::Null) {
            p.read_null();
            continue;
        }
        read_field(p, field, r);
    }
    p.end_array();
    return r;
}

Record read_members(Parser& p) {
    Record r;
    unsigned seen = 0;
    p.begin_object();
    while (p.next_member()) {
        const int field = field_of(p.read_key_text().text);
        if (field < 0) {
            p.read_colon();
            p.skip_value();
            continue;
        }
        if (seen & (1u << field)) {
            p.at_end();  // the error stands after the key and the whitespace after it
            p.fail_message("duplicate field " + backquoted(kFieldNames[field]));
        }
        seen |= 1u << field;
        p.read_colon();
        read_field(p, field, r);
    }
    for (const int required : {kImageId, kCategoryId, kBbox})
        if (!(seen & (1u << required))) p.fail_message("missing field " + backquoted(kFieldNames[required]));
    return r;
}

}  // namespace

Record read_record(Parser& parser) {
    switch (parser.peek_value()) {
        case ValueType::Object: return read_members(parser);
        case ValueType::Array: return read_positional(parser);
        default: parser.fail_invalid_type("struct Record");
    }
}

}  // namespace brandor::compact
