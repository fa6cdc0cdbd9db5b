#include "core/json/parse_error.hpp"

#include <algorithm>
#include <cstring>

namespace brandor::json {

Position position_of(std::string_view text, std::size_t offset) {
    offset = std::min(offset, text.size());
    std::size_t line = 1;
    std::size_t line_start = 0;
    const char* base = text.data();
    const char* p = base;
    const char* stop = base + offset;
    while (p < stop) {
        const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(stop - p));
        if (nl == nullptr) break;
        p = static_cast<const char*>(nl) + 1;
        ++line;
        line_start = static_cast<std::size_t>(p - base);
    }
    return {line, offset - line_start};
}

namespace {
std::string with_position(const std::string& text, Position at) {
    return text + " at line " + std::to_string(at.line) + " column " + std::to_string(at.column);
}
}  // namespace

ParseError::ParseError(ErrorCode code, std::string text, Position at)
    : Error(ErrorKind::Value, with_position(text, at)), code_(code), text_(std::move(text)), where_(at) {}

}  // namespace brandor::json
