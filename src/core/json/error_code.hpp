// The syntax errors of the JSON parser and their fixed texts. Every error a
// document can cause is one of these; the text is what users see before the
// " at line L column C" suffix.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace brandor::json {

enum class ErrorCode : std::uint8_t {
    EofWhileParsingList,
    EofWhileParsingObject,
    EofWhileParsingString,
    EofWhileParsingValue,
    ExpectedColon,
    ExpectedListCommaOrEnd,
    ExpectedObjectCommaOrEnd,
    ExpectedSomeIdent,
    ExpectedSomeValue,
    InvalidEscape,
    InvalidNumber,
    NumberOutOfRange,
    InvalidUnicodeCodePoint,
    ControlCharacterWhileParsingString,
    KeyMustBeAString,
    LoneLeadingSurrogateInHexEscape,
    TrailingComma,
    TrailingCharacters,
    UnexpectedEndOfHexEscape,
    RecursionLimitExceeded,
    // Not a syntax error: a message built by a caller (a record reader's
    // type or field error) that still carries the parser's position.
    Custom,
};

inline constexpr std::array<std::string_view, 21> error_texts{
    "EOF while parsing a list",
    "EOF while parsing an object",
    "EOF while parsing a string",
    "EOF while parsing a value",
    "expected `:`",
    "expected `,` or `]`",
    "expected `,` or `}`",
    "expected ident",
    "expected value",
    "invalid escape",
    "invalid number",
    "number out of range",
    "invalid unicode code point",
    "control character (\\u0000-\\u001F) found while parsing a string",
    "key must be a string",
    "lone leading surrogate in hex escape",
    "trailing comma",
    "trailing characters",
    "unexpected end of hex escape",
    "recursion limit exceeded",
    "",
};

constexpr std::string_view error_text(ErrorCode code) {
    return error_texts[static_cast<std::size_t>(code)];
}

}  // namespace brandor::json
