#include "core/json/unexpected.hpp"

#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "core/debug_quote.hpp"

namespace brandor::json {

std::string format_shortest(double v) {
    char buf[64];
    // Scientific form gives the shortest digits d.ddd and the exponent.
    const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
    std::string out;
    if (sci.front() == '-') {
        out.push_back('-');
        sci.remove_prefix(1);
    }
    const std::size_t e = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e))
        if (c != '.') digits.push_back(c);
    const long exp10 = std::strtol(std::string(sci.substr(e + 1)).c_str(), nullptr, 10);
    if (digits == "0") return out + "0.0";
    const long length = static_cast<long>(digits.size());
    const long kk = exp10 + 1;  // 10^(kk-1) <= |v| < 10^kk
    const long k = kk - length;
    if (k >= 0 && kk <= 16) {
        out += digits;
        out.append(static_cast<std::size_t>(k), '0');
        out += ".0";
    } else if (kk > 0 && kk <= 16) {
        out += digits.substr(0, static_cast<std::size_t>(kk));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(kk));
    } else if (kk > -5 && kk <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-kk), '0');
        out += digits;
    } else {
        out += digits[0];
        if (length > 1) {
            out += '.';
            out += digits.substr(1);
        }
        out += 'e';
        out += std::to_string(kk - 1);
    }
    return out;
}

std::string describe_number(const Number& n) {
    switch (n.kind) {
        case Number::Kind::Unsigned: return "integer `" + std::to_string(n.u) + "`";
        case Number::Kind::Signed: return "integer `" + std::to_string(n.i) + "`";
        case Number::Kind::Float: break;
    }
    return "floating point `" + format_shortest(n.f) + "`";
}

std::string describe_string(std::string_view s) { return "string " + debug_quote(s); }

}  // namespace brandor::json
