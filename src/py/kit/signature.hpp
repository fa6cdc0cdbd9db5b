// Text signatures and argument binding. Each callable declares its signature
// once, as the first line of its docstring ("name(a, b=0)\n--\n\n..."); the
// parameter names and default values are parsed from that line, so binding and
// `inspect.signature` can never disagree. Binding errors are worded as CPython
// words them for a Python function of the same signature.
#pragma once

#include <array>
#include <exception>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "py/kit/ref.hpp"

namespace brandor::py {

inline constexpr std::size_t kMaxParameters = 16;

struct Parameter {
    std::string name;
    Ref default_value;  // empty: the parameter is required
};

class Signature {
public:
    // `qualname` prefixes binding messages ("encode", "Evaluator.run",
    // "Evaluator.__new__"); `doc` is the docstring that starts with the signature.
    Signature(std::string qualname, const char* doc);

    const std::string& qualname() const noexcept { return qualname_; }
    std::span<const Parameter> parameters() const noexcept { return params_; }
    std::size_t required_count() const noexcept { return required_; }

private:
    std::string qualname_;
    std::vector<Parameter> params_;
    std::size_t required_ = 0;
};

// The bound arguments of one call, borrowed from the caller (defaults filled
// in). `convert` runs a converter on one argument and, if it fails, keeps the
// converter's exception and adds the note "while processing '<name>'".
class BoundArgs {
public:
    BoundArgs(const Signature& sig, std::array<PyObject*, kMaxParameters> values)
        : sig_(&sig), values_(values) {}

    PyObject* operator[](std::size_t i) const noexcept { return values_[i]; }
    const std::string& name(std::size_t i) const noexcept { return sig_->parameters()[i].name; }

    template <class Converter>
    auto convert(std::size_t i, Converter&& converter) const -> decltype(converter(nullptr)) {
        try {
            return converter(values_[i]);
        } catch (const InternalError&) {
            throw;
        } catch (...) {
            annotate(i, std::current_exception());
        }
    }

private:
    [[noreturn]] void annotate(std::size_t i, std::exception_ptr failure) const;

    const Signature* sig_;
    std::array<PyObject*, kMaxParameters> values_;
};

// Vectorcall form: positional arguments, then the values of `kwnames`.
BoundArgs bind(const Signature& sig, PyObject* const* args, std::size_t nargs, PyObject* kwnames);
// tp_new form: an argument tuple and an optional keyword dict.
BoundArgs bind(const Signature& sig, PyObject* args, PyObject* kwargs);

}  // namespace brandor::py
