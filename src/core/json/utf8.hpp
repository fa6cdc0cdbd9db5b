// UTF-8 helpers of the JSON parser: checking one encoded character and
// encoding a code point. Valid means what Python's strict UTF-8 decoder
// accepts: no overlong forms, no surrogates, nothing above U+10FFFF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace brandor::json {

// Length (2 to 4) of the valid UTF-8 sequence starting with the non-ASCII
// byte at p, or 0 when the bytes there are not one.
inline std::size_t utf8_sequence_length(const char* p, const char* end) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(p[k]); };
    const auto cont = [&](std::size_t k) { return (at(k) & 0xC0) == 0x80; };
    const auto avail = static_cast<std::size_t>(end - p);
    const unsigned char lead = at(0);
    if (lead >= 0xC2 && lead <= 0xDF) return (avail >= 2 && cont(1)) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (avail < 3 || !cont(1) || !cont(2)) return 0;
        if (lead == 0xE0 && at(1) < 0xA0) return 0;  // overlong
        if (lead == 0xED && at(1) > 0x9F) return 0;  // surrogate
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (avail < 4 || !cont(1) || !cont(2) || !cont(3)) return 0;
        if (lead == 0xF0 && at(1) < 0x90) return 0;  // overlong
        if (lead == 0xF4 && at(1) > 0x8F) return 0;  // above U+10FFFF
        return 4;
    }
    return 0;
}

// Appends the UTF-8 form of a code point that is not a surrogate.
inline void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace brandor::json
