// How a type error names the value it found ("integer `5`", "floating point
// `1.5`", "string \"abc\""), for the "invalid type: ..., expected ..." and
// "invalid value: ..., expected ..." messages of readers driving the parser.
#pragma once

#include <string>
#include <string_view>

#include "core/json/parser.hpp"

namespace brandor::json {

// "integer `N`" or "floating point `F`"; F is the shortest text that reads
// back as the same double, written like 1.0, 0.001, 1e300 or 1.5e-7.
std::string describe_number(const Number& n);
// "string " and the text quoted, with quotes, backslashes and control
// characters escaped.
std::string describe_string(std::string_view s);
// Shortest round-trip form of a finite double in the style above.
std::string format_shortest(double v);

}  // namespace brandor::json
