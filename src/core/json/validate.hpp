// Checking a whole JSON text without building anything: one value, then only
// whitespace. Numbers are checked for syntax only and strings for their end,
// escapes and control characters, so a number beyond a double or a string that
// is not UTF-8 passes here though reading it would fail.
#pragma once

#include <string_view>

namespace brandor::json {

// Throws ParseError; a non-whitespace byte after the value gives
// "trailing characters" (check ParseError::code() to tell it apart).
void validate_document(std::string_view text);

}  // namespace brandor::json
