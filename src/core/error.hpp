// Errors raised by native code. A user-facing error carries the kind of
// Python exception it becomes and its fixed message; anything else thrown
// (InternalError, std::logic_error, ...) is an internal failure that the
// calling frame reports as PanicException. No Python headers here.
#pragma once

#include <stdexcept>
#include <string>

namespace brandor {

enum class ErrorKind { Value, Key, Type, Index, OS, Overflow, Runtime, Memory };

// A user-facing error: becomes the Python exception of `kind` with `message`.
class Error : public std::exception {
public:
    Error(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    ErrorKind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    ErrorKind kind_;
    std::string message_;
};

inline Error value_error(std::string m) { return Error(ErrorKind::Value, std::move(m)); }
inline Error key_error(std::string m) { return Error(ErrorKind::Key, std::move(m)); }
inline Error type_error(std::string m) { return Error(ErrorKind::Type, std::move(m)); }
inline Error index_error(std::string m) { return Error(ErrorKind::Index, std::move(m)); }
inline Error overflow_error(std::string m) { return Error(ErrorKind::Overflow, std::move(m)); }

// A violated invariant: reaches Python as PanicException with this message.
class InternalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Bounds-checked element access for invariants that must hold; a violation is
// an internal failure, never undefined behaviour.
template <class Container>
inline auto& checked_at(Container& c, std::size_t i) {
    if (i >= c.size())
        throw InternalError("index out of range: the index is " + std::to_string(i) +
                            " but the length is " + std::to_string(c.size()));
    return c[i];
}

}  // namespace brandor
