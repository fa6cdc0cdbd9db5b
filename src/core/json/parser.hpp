// A pull parser over one in-memory JSON text: the caller asks what value comes
// next and reads, enters or skips it. Strings are decoded and UTF-8 checked,
// numbers converted exactly (64-bit integers, else the nearest double), nesting
// is limited to 127 levels, and every error is a ParseError whose line and
// column are those of the byte where the parser detected it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/json/error_code.hpp"
#include "core/json/parse_error.hpp"

namespace brandor::json {

enum class ValueType : std::uint8_t { Null, Bool, Number, String, Array, Object };

// A JSON number as converted: an integer that fits unsigned or signed 64 bits
// keeps that form; -0, fractions, exponents and wider integers are doubles.
// `integer_syntax` tells the written form apart: no fraction and no exponent
// (so -0 and integers beyond 64 bits are Float with integer_syntax set).
struct Number {
    enum class Kind : std::uint8_t { Unsigned, Signed, Float };
    Kind kind;
    bool integer_syntax;
    union {
        std::uint64_t u;
        std::int64_t i;
        double f;
    };

    // The value as a double, as Python's float() of the parsed number gives it.
    double as_double() const {
        switch (kind) {
            case Kind::Unsigned: return static_cast<double>(u);
            case Kind::Signed: return static_cast<double>(i);
            case Kind::Float: break;
        }
        return f;
    }
};

// A decoded string: valid UTF-8 that lives in the input or in the parser's
// scratch buffer until the next string is read.
struct DecodedString {
    std::string_view text;
    bool ascii;
};

// Byte range of a value's exact text (no surrounding whitespace).
struct Span {
    std::size_t offset;
    std::size_t length;
};

class Parser {
public:
    // Entering the 128th nested array or object fails.
    static constexpr unsigned max_depth = 128;

    // Parses `text` from `offset` on; positions in errors count from the
    // start of `text`. `enclosing_depth` is the number of containers already
    // open around the starting point (a reader that starts inside an array
    // whose '[' it did not read passes 1, so the nesting limit stays that of
    // the whole document).
    explicit Parser(std::string_view text, std::size_t offset = 0, unsigned enclosing_depth = 0)
        : begin_(text.data()), cur_(text.data() + offset), end_(text.data() + text.size()),
          depth_(enclosing_depth < max_depth ? enclosing_depth : max_depth - 1) {}

    // --- the value at the current position ---------------------------------
    // Skips whitespace and classifies the next value by its first byte, which
    // stays unread. At the end of the text: "EOF while parsing a value". The
    // read_*, begin_* and skip calls below expect to stand on that first byte
    // (that is, after peek_value() gave the matching type); skip_value() and
    // fail_invalid_type() skip the whitespace themselves.
    ValueType peek_value();
    void read_null();
    bool read_bool();
    Number read_number();
    DecodedString read_string();

    // Arrays: begin_array() consumes '['; next_element() is true when another
    // element follows (the parser stands before it) and false once it has
    // consumed the closing ']'.
    void begin_array();
    bool next_element();
    // For readers of fixed-length arrays, after their last element: the array
    // must close here ("trailing characters" / "trailing comma" otherwise).
    void end_array();

    // Objects: next_member() is true when a key follows; read_key() (or
    // skip_key()) then reads it and the ':' after it, leaving the parser
    // before the member's value. false once the closing '}' is consumed.
    // read_key() is read_key_text() followed by read_colon(), for readers
    // that report an error about the key itself before the ':' is read.
    void begin_object();
    bool next_member();
    DecodedString read_key();
    DecodedString read_key_text() { return read_string(); }
    void read_colon();
    void skip_key();

    // Validates and passes over one value with the same grammar and nesting
    // limit as reading it, without converting numbers, decoding strings or
    // checking their UTF-8. Returns the value's exact byte range.
    Span skip_value();

    // Only whitespace may follow: "trailing characters" at the first other byte.
    void finish();

    // --- position and errors -----------------------------------------------
    std::size_t offset() const { return static_cast<std::size_t>(cur_ - begin_); }
    std::string_view text() const { return {begin_, static_cast<std::size_t>(end_ - begin_)}; }
    unsigned depth() const { return depth_; }
    // Skips whitespace; true when the text ends there.
    bool at_end() {
        skip_whitespace();
        return cur_ == end_;
    }

    // Errors at the bytes read so far ("here"), or at the next unread byte,
    // which is where errors about an unexpected byte point ("peek").
    [[noreturn]] void fail_here(ErrorCode code) const;
    [[noreturn]] void fail_peek(ErrorCode code) const;
    // A caller's own message with the position suffix of the bytes read so far.
    [[noreturn]] void fail_message(std::string message) const;
    // "invalid type: <what the next value is>, expected <expected>": a scalar
    // is read first (its own syntax errors win), an array or object is not.
    [[noreturn]] void fail_invalid_type(std::string_view expected);

private:
    void skip_whitespace() {
        while (cur_ != end_ && is_whitespace(*cur_)) ++cur_;
    }
    static bool is_whitespace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

    void parse_ident(std::string_view rest);
    DecodedString read_string_slow(const char* start);
    bool parse_escape();
    std::uint32_t decode_hex_escape();
    void skip_string();
    // A number's syntax checked and its digits gathered.
    struct NumberScan {
        const char* start;
        std::uint64_t significand;  // integers: the value; floats: the digits, when exact
        int exponent;               // floats: value = significand * 10^exponent, when exact
        bool negative;
        bool needs_float;
        bool exact;           // every digit made it into `significand`
        bool integer_syntax;  // no fraction, no exponent
    };
    NumberScan scan_number();
    Number convert_float(const NumberScan& s) const;

    const char* begin_;
    const char* cur_;
    const char* end_;
    unsigned depth_;
    // first_[d]: the container open at depth d has not yet yielded an element.
    std::array<bool, max_depth + 1> first_{};
    std::string scratch_;
};

}  // namespace brandor::json

namespace brandor::json {

// ---------------------------------------------------------------------------
// Hot paths, inline so that the object builder and record readers in other
// libraries pay no call per token. Error paths live in parser.cpp.

namespace detail {
// Byte classes inside a string: plain ASCII, or something that needs a look.
enum : std::uint8_t { plain = 0, quote = 1, backslash = 2, control = 3, high = 4 };
constexpr std::array<std::uint8_t, 256> make_string_classes() {
    std::array<std::uint8_t, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[c] = control;
    for (int c = 0x80; c < 0x100; ++c) t[c] = high;
    t['"'] = quote;
    t['\\'] = backslash;
    return t;
}
inline constexpr std::array<std::uint8_t, 256> string_classes = make_string_classes();
inline std::uint8_t string_class(char c) { return string_classes[static_cast<unsigned char>(c)]; }
inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }
}  // namespace detail

inline ValueType Parser::peek_value() {
    skip_whitespace();
    if (cur_ == end_) fail_peek(ErrorCode::EofWhileParsingValue);
    switch (*cur_) {
        case '"': return ValueType::String;
        case '{': return ValueType::Object;
        case '[': return ValueType::Array;
        case 'n': return ValueType::Null;
        case 't':
        case 'f': return ValueType::Bool;
        case '-':
        case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9': return ValueType::Number;
        default: fail_peek(ErrorCode::ExpectedSomeValue);
    }
}

inline Parser::NumberScan Parser::scan_number() {
    using detail::is_digit;
    NumberScan s{cur_, 0, 0, false, false, true, true};
    if (*cur_ == '-') {
        s.negative = true;
        ++cur_;
    }
    if (cur_ == end_) fail_here(ErrorCode::EofWhileParsingValue);
    const char first = *cur_++;
    // Decimal digits go into the significand while it cannot overflow; past
    // 64 bits an integer becomes the nearest double.
    constexpr std::uint64_t room = (UINT64_MAX - 9) / 10;
    if (first == '0') {
        // Only one leading zero.
        if (cur_ != end_ && is_digit(*cur_)) fail_peek(ErrorCode::InvalidNumber);
    } else if (is_digit(first)) {
        std::uint64_t sig = static_cast<std::uint64_t>(first - '0');
        while (cur_ != end_ && is_digit(*cur_)) {
            const auto digit = static_cast<std::uint64_t>(*cur_ - '0');
            if (sig > (UINT64_MAX - digit) / 10) {
                s.needs_float = true;
                s.exact = false;
                while (cur_ != end_ && is_digit(*cur_)) ++cur_;
                break;
            }
            sig = sig * 10 + digit;
            ++cur_;
        }
        s.significand = sig;
    } else {
        fail_here(ErrorCode::InvalidNumber);
    }
    if (cur_ != end_ && *cur_ == '.') {
        ++cur_;
        const char* digits = cur_;
        for (; cur_ != end_ && is_digit(*cur_); ++cur_) {
            if (s.exact && s.significand <= room) {
                s.significand = s.significand * 10 + static_cast<std::uint64_t>(*cur_ - '0');
                --s.exponent;
            } else {
                s.exact = false;
            }
        }
        if (cur_ == digits)
            fail_peek(cur_ == end_ ? ErrorCode::EofWhileParsingValue : ErrorCode::InvalidNumber);
        s.needs_float = true;
        s.integer_syntax = false;
    }
    if (cur_ != end_ && (*cur_ == 'e' || *cur_ == 'E')) {
        ++cur_;
        bool negative_exponent = false;
        if (cur_ != end_ && (*cur_ == '+' || *cur_ == '-')) negative_exponent = *cur_++ == '-';
        if (cur_ == end_) fail_here(ErrorCode::EofWhileParsingValue);
        if (!is_digit(*cur_)) {
            ++cur_;
            fail_here(ErrorCode::InvalidNumber);
        }
        int e = 0;
        for (; cur_ != end_ && is_digit(*cur_); ++cur_)
            if (e < 100000) e = e * 10 + (*cur_ - '0');
        s.exponent += negative_exponent ? -e : e;
        s.needs_float = true;
        s.integer_syntax = false;
    }
    return s;
}

inline Number Parser::read_number() {
    NumberScan s = scan_number();
    if (s.needs_float) return convert_float(s);
    Number n;
    n.integer_syntax = true;
    if (!s.negative) {
        n.kind = Number::Kind::Unsigned;
        n.u = s.significand;
    } else if (s.significand == 0) {
        n.kind = Number::Kind::Float;  // -0 is a float, as the sign must survive
        n.f = -0.0;
    } else if (s.significand <= (std::uint64_t{1} << 63)) {
        n.kind = Number::Kind::Signed;
        n.i = static_cast<std::int64_t>(0 - s.significand);  // two's complement; covers -2^63
    } else {
        n.kind = Number::Kind::Float;
        n.f = -static_cast<double>(s.significand);  // below -2^63: nearest double
    }
    return n;
}

inline void Parser::begin_array() {
    if (depth_ >= max_depth - 1) fail_peek(ErrorCode::RecursionLimitExceeded);
    ++cur_;
    first_[++depth_] = true;
}

inline bool Parser::next_element() {
    skip_whitespace();
    if (cur_ == end_) fail_peek(ErrorCode::EofWhileParsingList);
    const char c = *cur_;
    if (c == ']') {
        ++cur_;
        --depth_;
        return false;
    }
    if (first_[depth_]) {
        first_[depth_] = false;
        return true;
    }
    if (c != ',') fail_peek(ErrorCode::ExpectedListCommaOrEnd);
    ++cur_;
    skip_whitespace();
    if (cur_ == end_) fail_peek(ErrorCode::EofWhileParsingValue);
    if (*cur_ == ']') fail_peek(ErrorCode::TrailingComma);
    return true;
}

inline void Parser::begin_object() {
    if (depth_ >= max_depth - 1) fail_peek(ErrorCode::RecursionLimitExceeded);
    ++cur_;
    first_[++depth_] = true;
}

inline bool Parser::next_member() {
    skip_whitespace();
    if (cur_ == end_) fail_peek(ErrorCode::EofWhileParsingObject);
    char c = *cur_;
    if (c == '}') {
        ++cur_;
        --depth_;
        return false;
    }
    if (first_[depth_]) {
        first_[depth_] = false;
    } else {
        if (c != ',') fail_peek(ErrorCode::ExpectedObjectCommaOrEnd);
        ++cur_;
        skip_whitespace();
        if (cur_ == end_) fail_peek(ErrorCode::EofWhileParsingValue);
        c = *cur_;
        if (c == '}') fail_peek(ErrorCode::TrailingComma);
    }
    if (c != '"') fail_peek(ErrorCode::KeyMustBeAString);
    return true;
}

inline DecodedString Parser::read_string() {
    // Fast path: plain ASCII up to the closing quote, returned in place.
    const char* start = ++cur_;
    const char* p = start;
    while (p != end_ && detail::string_class(*p) == detail::plain) ++p;
    if (p != end_ && *p == '"') {
        cur_ = p + 1;
        return {std::string_view(start, static_cast<std::size_t>(p - start)), true};
    }
    cur_ = p;
    return read_string_slow(start);
}

inline void Parser::read_colon() {
    skip_whitespace();
    if (cur_ == end_) fail_peek(ErrorCode::EofWhileParsingObject);
    if (*cur_ != ':') fail_peek(ErrorCode::ExpectedColon);
    ++cur_;
}

inline DecodedString Parser::read_key() {
    const DecodedString key = read_string();
    read_colon();
    return key;
}

inline void Parser::skip_key() {
    skip_string();
    read_colon();
}

}  // namespace brandor::json
