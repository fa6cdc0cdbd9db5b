#include "core/json/parser.hpp"

#include <charconv>
#include <cstring>
#include <system_error>

#include "core/json/unexpected.hpp"
#include "core/json/utf8.hpp"

namespace brandor::json {

void Parser::fail_here(ErrorCode code) const {
    throw ParseError(code, std::string(error_text(code)), position_of(text(), offset()));
}

void Parser::fail_peek(ErrorCode code) const {
    // The offending byte counts as read, so the column is its 1-based one.
    const std::size_t at = cur_ == end_ ? offset() : offset() + 1;
    throw ParseError(code, std::string(error_text(code)), position_of(text(), at));
}

void Parser::fail_message(std::string message) const {
    throw ParseError(ErrorCode::Custom, std::move(message), position_of(text(), offset()));
}

void Parser::parse_ident(std::string_view rest) {
    for (const char expected : rest) {
        if (cur_ == end_) fail_here(ErrorCode::EofWhileParsingValue);
        if (*cur_++ != expected) fail_here(ErrorCode::ExpectedSomeIdent);
    }
}

void Parser::read_null() {
    ++cur_;
    parse_ident("ull");
}

bool Parser::read_bool() {
    if (*cur_++ == 't') {
        parse_ident("rue");
        return true;
    }
    parse_ident("alse");
    return false;
}

namespace {

// Whether a decimal number text (JSON syntax, already checked) has magnitude
// below one in order of magnitude. Only asked about values beyond the range of
// a double, which are either far below 1e-300 or far above 1e300, so the
// estimate need not be exact at the boundary.
bool magnitude_below_one(std::string_view t) {
    std::size_t i = (t[0] == '-') ? 1 : 0;
    long long magnitude = 0;
    bool nonzero_seen = false;
    for (; i < t.size() && detail::is_digit(t[i]); ++i) {
        if (t[i] != '0') nonzero_seen = true;
        if (nonzero_seen) ++magnitude;
    }
    if (i < t.size() && t[i] == '.') {
        for (++i; i < t.size() && detail::is_digit(t[i]); ++i) {
            if (nonzero_seen) continue;
            if (t[i] != '0')
                nonzero_seen = true;
            else
                --magnitude;
        }
    }
    long long exponent = 0;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        bool negative = false;
        if (t[i] == '+' || t[i] == '-') negative = t[i++] == '-';
        for (; i < t.size(); ++i)
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (t[i] - '0');
        if (negative) exponent = -exponent;
    }
    return magnitude + exponent <= 0;
}

}  // namespace

namespace {
constexpr double exact_powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                          1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
}  // namespace

Number Parser::convert_float(const NumberScan& s) const {
    Number n;
    n.kind = Number::Kind::Float;
    n.integer_syntax = s.integer_syntax;
    // Exact fast path: a significand below 2^53 and a power of ten up to 1e22
    // are both exact doubles, so one correctly rounded multiplication or
    // division gives the correctly rounded result.
    if (s.exact && s.significand <= (std::uint64_t{1} << 53) && s.exponent >= -22 && s.exponent <= 22) {
        const double m = static_cast<double>(s.significand);
        const double v = s.exponent < 0 ? m / exact_powers_of_ten[-s.exponent] : m * exact_powers_of_ten[s.exponent];
        n.f = s.negative ? -v : v;
        return n;
    }
    // std::from_chars is correctly rounded (libstdc++ 12 uses fast_float with a
    // big-integer fallback for long mantissas); JSON number syntax is a subset
    // of what it accepts, and the text was validated by scan_number.
    const auto [ptr, ec] = std::from_chars(s.start, cur_, n.f);
    if (ec == std::errc::result_out_of_range) {
        const std::string_view t(s.start, static_cast<std::size_t>(cur_ - s.start));
        if (!magnitude_below_one(t)) fail_here(ErrorCode::NumberOutOfRange);
        n.f = s.negative ? -0.0 : 0.0;  // underflow rounds to zero, as float() does
    } else if (ec != std::errc() || ptr != cur_) {
        throw InternalError("number text rejected by from_chars after validation");
    }
    return n;
}

std::uint32_t Parser::decode_hex_escape() {
    if (end_ - cur_ < 4) {
        cur_ = end_;
        fail_here(ErrorCode::EofWhileParsingString);
    }
    std::uint32_t value = 0;
    bool valid = true;
    for (int k = 0; k < 4; ++k) {
        const char c = cur_[k];
        std::uint32_t digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<std::uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<std::uint32_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<std::uint32_t>(c - 'A' + 10);
        else {
            valid = false;
            digit = 0;
        }
        value = value * 16 + digit;
    }
    cur_ += 4;
    if (!valid) fail_here(ErrorCode::InvalidEscape);
    return value;
}

// After a backslash: decodes one escape into scratch_; true when it produced
// a non-ASCII character.
bool Parser::parse_escape() {
    if (cur_ == end_) fail_here(ErrorCode::EofWhileParsingString);
    const char c = *cur_++;
    switch (c) {
        case '"': scratch_.push_back('"'); return false;
        case '\\': scratch_.push_back('\\'); return false;
        case '/': scratch_.push_back('/'); return false;
        case 'b': scratch_.push_back('\b'); return false;
        case 'f': scratch_.push_back('\f'); return false;
        case 'n': scratch_.push_back('\n'); return false;
        case 'r': scratch_.push_back('\r'); return false;
        case 't': scratch_.push_back('\t'); return false;
        case 'u': break;
        default: fail_here(ErrorCode::InvalidEscape);
    }
    const std::uint32_t unit = decode_hex_escape();
    if (unit >= 0xDC00 && unit <= 0xDFFF) fail_here(ErrorCode::LoneLeadingSurrogateInHexEscape);
    if (unit < 0xD800 || unit > 0xDBFF) {
        append_utf8(scratch_, unit);
        return unit >= 0x80;
    }
    // A leading surrogate must be followed by an escaped trailing one.
    for (const char expected : {'\\', 'u'}) {
        if (cur_ == end_) fail_here(ErrorCode::EofWhileParsingString);
        if (*cur_++ != expected) fail_here(ErrorCode::UnexpectedEndOfHexEscape);
    }
    const std::uint32_t trail = decode_hex_escape();
    if (trail < 0xDC00 || trail > 0xDFFF) fail_here(ErrorCode::LoneLeadingSurrogateInHexEscape);
    append_utf8(scratch_, 0x10000 + ((unit - 0xD800) << 10) + (trail - 0xDC00));
    return true;
}

// The string continues at cur_ (which stands on a byte that is not plain
// ASCII, or at the end) after the plain run [start, cur_).
DecodedString Parser::read_string_slow(const char* start) {
    scratch_.clear();
    bool escaped = false;
    bool ascii = true;
    // Invalid UTF-8 is reported only once the string has ended, so that a
    // syntax error later in the same string is the one reported.
    bool invalid_utf8 = false;
    const char* segment = start;
    for (;;) {
        while (cur_ != end_ && detail::string_class(*cur_) == detail::plain) ++cur_;
        if (cur_ == end_) fail_here(ErrorCode::EofWhileParsingString);
        switch (detail::string_class(*cur_)) {
            case detail::quote: {
                std::string_view out(segment, static_cast<std::size_t>(cur_ - segment));
                if (escaped) {
                    scratch_.append(out);
                    out = scratch_;
                }
                ++cur_;
                if (invalid_utf8) fail_here(ErrorCode::InvalidUnicodeCodePoint);
                return {out, ascii};
            }
            case detail::backslash:
                scratch_.append(segment, static_cast<std::size_t>(cur_ - segment));
                ++cur_;
                if (parse_escape()) ascii = false;
                segment = cur_;
                escaped = true;
                break;
            case detail::control:
                ++cur_;
                fail_here(ErrorCode::ControlCharacterWhileParsingString);
            default: {
                ascii = false;
                const std::size_t n = utf8_sequence_length(cur_, end_);
                if (n == 0) {
                    invalid_utf8 = true;
                    ++cur_;
                } else {
                    cur_ += n;
                }
            }
        }
    }
}

void Parser::skip_string() {
    ++cur_;
    for (;;) {
        // Non-ASCII bytes are passed over like plain ones: UTF-8 is not checked.
        while (cur_ != end_) {
            const std::uint8_t k = detail::string_class(*cur_);
            if (k != detail::plain && k != detail::high) break;
            ++cur_;
        }
        if (cur_ == end_) fail_here(ErrorCode::EofWhileParsingString);
        switch (detail::string_class(*cur_)) {
            case detail::quote: ++cur_; return;
            case detail::backslash: {
                ++cur_;
                if (cur_ == end_) fail_here(ErrorCode::EofWhileParsingString);
                const char c = *cur_++;
                switch (c) {
                    case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't': break;
                    case 'u': decode_hex_escape(); break;
                    default: fail_here(ErrorCode::InvalidEscape);
                }
                break;
            }
            case detail::control:
                ++cur_;
                fail_here(ErrorCode::ControlCharacterWhileParsingString);
            default: break;
        }
    }
}

void Parser::end_array() {
    skip_whitespace();
    if (cur_ == end_) fail_peek(ErrorCode::EofWhileParsingList);
    if (*cur_ == ']') {
        ++cur_;
        --depth_;
        return;
    }
    if (*cur_ == ',') {
        ++cur_;
        skip_whitespace();
        if (cur_ != end_ && *cur_ == ']') fail_peek(ErrorCode::TrailingComma);
    }
    fail_peek(ErrorCode::TrailingCharacters);
}

Span Parser::skip_value() {
    const ValueType type = peek_value();
    const std::size_t start = offset();
    switch (type) {
        case ValueType::Null: read_null(); break;
        case ValueType::Bool: read_bool(); break;
        case ValueType::Number: scan_number(); break;
        case ValueType::String: skip_string(); break;
        case ValueType::Array:
            begin_array();
            while (next_element()) skip_value();
            break;
        case ValueType::Object:
            begin_object();
            while (next_member()) {
                skip_key();
                skip_value();
            }
            break;
    }
    return {start, offset() - start};
}

void Parser::finish() {
    skip_whitespace();
    if (cur_ != end_) fail_peek(ErrorCode::TrailingCharacters);
}

void Parser::fail_invalid_type(std::string_view expected) {
    skip_whitespace();
    std::string found;
    switch (cur_ == end_ ? '\0' : *cur_) {
        case 'n': read_null(); found = "null"; break;
        case 't':
        case 'f': found = read_bool() ? "boolean `true`" : "boolean `false`"; break;
        case '-':
        case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9': found = describe_number(read_number()); break;
        case '"': found = describe_string(read_string().text); break;
        case '[': found = "sequence"; break;
        case '{': found = "map"; break;
        default: fail_peek(ErrorCode::ExpectedSomeValue);
    }
    fail_message("invalid type: " + found + ", expected " + std::string(expected));
}

}  // namespace brandor::json
