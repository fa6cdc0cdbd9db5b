// Text in double quotes with the escapes of a debug representation: quote,
// backslash, \n, \r, \t, \0 and \u{..} for other control characters; every
// other byte as it is. Used where a message quotes text the caller gave.
#pragma once

#include <string>
#include <string_view>

namespace brandor {

inline std::string debug_quote(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (const unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    out += "\\u{";
                    if (c >= 0x10) out += kHex[c >> 4];
                    out += kHex[c & 0xf];
                    out += "}";
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

}  // namespace brandor
