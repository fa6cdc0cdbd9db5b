#include "py/json/build.hpp"

#include <climits>
#include <string>
#include <vector>

namespace brandor::py {

namespace {

Ref make_number(const json::Number& n) {
    switch (n.kind) {
        case json::Number::Kind::Unsigned:
            if (n.u <= static_cast<std::uint64_t>(LONG_MAX)) return Ref::steal(PyLong_FromLong(static_cast<long>(n.u)));
            return Ref::steal(PyLong_FromUnsignedLongLong(n.u));
        case json::Number::Kind::Signed: return Ref::steal(PyLong_FromLongLong(n.i));
        case json::Number::Kind::Float: break;
    }
    return Ref::steal(PyFloat_FromDouble(n.f));
}

// Recursion is bounded by the parser's nesting limit. Array items wait on one
// shared stack, so each list is created at its final size.
class Builder {
public:
    Builder(json::Parser& parser, KeyCache& keys) : parser_(parser), keys_(keys) {}

    Ref value() {
        switch (parser_.peek_value()) {
            case json::ValueType::Null: parser_.read_null(); return Ref::borrow(Py_None);
            case json::ValueType::Bool: return Ref::borrow(parser_.read_bool() ? Py_True : Py_False);
            case json::ValueType::Number: return make_number(parser_.read_number());
            case json::ValueType::String: return make_str(parser_.read_string());
            case json::ValueType::Array: return array();
            case json::ValueType::Object: return object();
        }
        throw InternalError("unknown JSON value type");
    }

private:
    Ref array() {
        parser_.begin_array();
        const std::size_t base = pending_.size();
        while (parser_.next_element()) pending_.push_back(value());
        const std::size_t n = pending_.size() - base;
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
        for (std::size_t i = 0; i < n; ++i)
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pending_[base + i].release());
        pending_.resize(base);
        return list;
    }

    Ref object() {
        parser_.begin_object();
        Ref dict = Ref::steal(PyDict_New());
        while (parser_.next_member()) {
            // The key is looked up before the value is read: its text may
            // live in the parser's scratch buffer.
            PyObject* key = keys_.get(parser_.read_key());
            Ref item = value();
            check(PyDict_SetItem(dict.get(), key, item.get()));
        }
        return dict;
    }

    json::Parser& parser_;
    KeyCache& keys_;
    std::vector<Ref> pending_;
};

}  // namespace

Ref build_value(json::Parser& parser, KeyCache& keys) {
    Builder builder(parser, keys);
    return builder.value();
}

Ref load_json_text(std::string_view text, std::string_view context) {
    json::Parser parser(text);
    KeyCache keys;
    Ref result;
    try {
        const GcPause paused;
        result = build_value(parser, keys);
    } catch (const json::ParseError& e) {
        throw value_error(std::string(context) + ": " + e.message());
    }
    try {
        parser.finish();
    } catch (const json::ParseError& e) {
        throw value_error(std::string(context) + ": trailing data: " + e.message());
    }
    return result;
}

}  // namespace brandor::py
