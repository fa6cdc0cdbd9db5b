// KeyCache: per-load map from an object key's UTF-8 bytes to the one Python
// str made for it, so every repeated key in a document is the same object
// (and its hash is computed once). Only keys go through it, never values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/json/parser.hpp"
#include "py/kit/ref.hpp"

namespace brandor::py {

// A new Python str from valid UTF-8 (ASCII is copied straight into place).
Ref make_str(const json::DecodedString& s);

class KeyCache {
public:
    KeyCache();
    // Borrowed: the shared str for `key`, made on its first occurrence. Valid
    // while the cache lives; callers that keep it add their own reference.
    PyObject* get(const json::DecodedString& key);
    std::size_t size() const noexcept { return entries_.size(); }

private:
    struct Entry {
        std::uint64_t hash;
        std::size_t offset;  // into bytes_
        std::size_t length;
        Ref str;
    };
    void grow();

    // Open addressing: 0 marks an empty slot, otherwise entry index + 1.
    std::vector<std::uint32_t> slots_;
    std::vector<Entry> entries_;
    std::string bytes_;
};

}  // namespace brandor::py
