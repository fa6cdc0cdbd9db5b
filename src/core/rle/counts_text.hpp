// The COCO compressed counts text: every run length written as a group of
// 5-bit characters (from the fourth count on as the difference to the count
// two places back). Encoding and decoding never fail on content; decoding
// accepts any byte and also the backslash-doubled form found raw in JSON.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/rle/rle.hpp"

namespace brandor::rle {

// Appends the counts text of `counts` to `out` (no terminator).
void encode_counts(std::span<const uint32_t> counts, std::string& out);

// Decodes counts text into run lengths (replacing `out`'s contents). With
// `escaped` set, a backslash makes the next byte literal, so the doubled
// backslash of unescaped JSON text reads as one character; a text ending in a
// lone backslash is an InternalError (JSON text cannot produce it). A group
// cut off by the end of the text is still stored.
void decode_counts(std::string_view text, bool escaped, std::vector<uint32_t>& out);

// Decodes (not escaped) into an Rle of size h x w with no spare capacity.
Rle decode_rle(std::string_view text, uint32_t h, uint32_t w);

}  // namespace brandor::rle
