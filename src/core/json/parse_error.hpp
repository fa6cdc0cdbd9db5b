// A JSON content error: the error's text followed by " at line L column C".
// It is a ValueError-kind brandor::Error, so it can propagate as is; callers
// that prefix a context ("JSON snapshot: ") read its parts.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/error.hpp"
#include "core/json/error_code.hpp"

namespace brandor::json {

// Line (1-based) and column (bytes since the last line feed, 0 at the start
// of a line) of the byte offset `offset` in `text`.
struct Position {
    std::size_t line;
    std::size_t column;
};
Position position_of(std::string_view text, std::size_t offset);

class ParseError : public Error {
public:
    ParseError(ErrorCode code, std::string text, Position at);
    ErrorCode code() const noexcept { return code_; }
    // The error's text without the position suffix.
    const std::string& text() const noexcept { return text_; }
    Position where() const noexcept { return where_; }

private:
    ErrorCode code_;
    std::string text_;
    Position where_;
};

}  // namespace brandor::json
