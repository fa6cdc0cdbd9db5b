#include "py/kit/signature.hpp"

#include <cstring>
#include <string>

#include "py/kit/errors.hpp"

namespace brandor::py {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

// A float literal read the way Python reads it, whatever the process locale
// (std::stod would honour a comma-decimal LC_NUMERIC and read 0.02 as 0).
Ref float_literal(const std::string& s) {
    double v = PyOS_string_to_double(s.c_str(), nullptr, nullptr);
    if (v == -1.0 && PyErr_Occurred()) throw ErrorAlreadySet();
    return Ref::steal(PyFloat_FromDouble(v));
}

// Default values are Python literals: True, False, None, ints and floats.
Ref parse_default(std::string_view text) {
    if (text == "True") return Ref::borrow(Py_True);
    if (text == "False") return Ref::borrow(Py_False);
    if (text == "None") return Ref::borrow(Py_None);
    std::string s(text);
    if (s.find_first_of(".eE") != std::string::npos)
        return float_literal(s);
    return Ref::steal(PyLong_FromString(s.c_str(), nullptr, 10));
}

std::string quoted(const std::string& name) { return "'" + name + "'"; }

[[noreturn]] void fail(const Signature& sig, const std::string& rest) {
    throw type_error(sig.qualname() + "() " + rest);
}

[[noreturn]] void too_many_positional(const Signature& sig, std::size_t given) {
    std::size_t total = sig.parameters().size(), required = sig.required_count();
    std::string takes;
    if (required == total) {
        takes = "takes " + std::to_string(total) + " positional argument" + (total == 1 ? "" : "s");
    } else {
        takes = "takes from " + std::to_string(required) + " to " + std::to_string(total) +
                " positional arguments";
    }
    fail(sig, takes + " but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given");
}

[[noreturn]] void missing(const Signature& sig, const std::vector<std::string>& names) {
    std::string list;
    if (names.size() == 1) {
        list = quoted(names[0]);
    } else if (names.size() == 2) {
        list = quoted(names[0]) + " and " + quoted(names[1]);
    } else {
        for (std::size_t i = 0; i + 1 < names.size(); ++i) list += quoted(names[i]) + ", ";
        list += "and " + quoted(names.back());
    }
    fail(sig, "missing " + std::to_string(names.size()) + " required positional argument" +
                  (names.size() == 1 ? "" : "s") + ": " + list);
}

// Matches one keyword to its parameter slot, as CPython does: an unknown name
// and a name already bound are reported at the first offending keyword.
void bind_keyword(const Signature& sig, PyObject* key, PyObject* value,
                  std::array<PyObject*, kMaxParameters>& values) {
    Py_ssize_t len = 0;
    const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &len) : nullptr;
    if (!text) {
        PyErr_Clear();
        fail(sig, "keywords must be strings");
    }
    std::string_view name(text, static_cast<std::size_t>(len));
    auto params = sig.parameters();
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (params[i].name == name) {
            if (values[i]) fail(sig, "got multiple values for argument " + quoted(params[i].name));
            values[i] = value;
            return;
        }
    }
    fail(sig, "got an unexpected keyword argument '" + std::string(name) + "'");
}

BoundArgs finish(const Signature& sig, std::size_t nargs,
                 std::array<PyObject*, kMaxParameters>& values) {
    auto params = sig.parameters();
    if (nargs > params.size()) too_many_positional(sig, nargs);
    std::vector<std::string> absent;
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (values[i]) continue;
        if (params[i].default_value) {
            values[i] = params[i].default_value.get();
        } else {
            absent.push_back(params[i].name);
        }
    }
    if (!absent.empty()) missing(sig, absent);
    return BoundArgs(sig, values);
}

}  // namespace

Signature::Signature(std::string qualname, const char* doc) : qualname_(std::move(qualname)) {
    std::string_view text(doc);
    std::size_t open = text.find('('), close = text.find(")\n--\n");
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        throw InternalError("malformed text signature in docstring: " + std::string(text));
    std::string_view list = text.substr(open + 1, close - open - 1);
    while (!list.empty()) {
        std::size_t comma = list.find(',');
        std::string_view item = trim(list.substr(0, comma));
        list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
        if (item.empty() || item.front() == '$') continue;  // $self, $type
        Parameter p;
        std::size_t eq = item.find('=');
        p.name = std::string(trim(item.substr(0, eq)));
        if (eq != std::string_view::npos) p.default_value = parse_default(trim(item.substr(eq + 1)));
        if (!p.default_value) ++required_;
        params_.push_back(std::move(p));
    }
    if (params_.size() > kMaxParameters) throw InternalError("too many parameters: " + qualname_);
}

void BoundArgs::annotate(std::size_t i, std::exception_ptr failure) const {
    set_python_error(failure);
    std::string note = "while processing '" + name(i) + "'";
    add_note_to_current(note.c_str());
    throw ErrorAlreadySet{};
}

BoundArgs bind(const Signature& sig, PyObject* const* args, std::size_t nargs, PyObject* kwnames) {
    std::array<PyObject*, kMaxParameters> values{};
    std::size_t positional = std::min(nargs, sig.parameters().size());
    for (std::size_t i = 0; i < positional; ++i) values[i] = args[i];
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + static_cast<std::size_t>(k)],
                         values);
    }
    return finish(sig, nargs, values);
}

BoundArgs bind(const Signature& sig, PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, kMaxParameters> values{};
    std::size_t nargs = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    std::size_t positional = std::min(nargs, sig.parameters().size());
    for (std::size_t i = 0; i < positional; ++i) values[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(sig, key, value, values);
    }
    return finish(sig, nargs, values);
}

}  // namespace brandor::py
