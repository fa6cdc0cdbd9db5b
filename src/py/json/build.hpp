// The object builder: Python objects for JSON values read by a json::Parser,
// as CPython's json module makes them (dicts keep the first position and the
// last value of a repeated key), except that -0 and integers beyond 64 bits
// become floats. Keys are shared through a KeyCache.
#pragma once

#include <string_view>

#include "core/json/parser.hpp"
#include "py/json/key_cache.hpp"
#include "py/kit/gc_pause.hpp"
#include "py/kit/ref.hpp"

namespace brandor::py {

// Builds the value at the parser's position; the parser ends just after it.
// Parse errors propagate as json::ParseError.
Ref build_value(json::Parser& parser, KeyCache& keys);

// The whole-buffer form: one value, only whitespace after it, a fresh
// KeyCache, the collector paused. Errors are ValueError "<context>: <parser error>", or
// "<context>: trailing data: trailing characters at ..." after the value.
Ref load_json_text(std::string_view text, std::string_view context = "JSON snapshot");

}  // namespace brandor::py
