#include "py/json/key_cache.hpp"

#include <cstring>

namespace brandor::py {

namespace {

// Starts with 128 slots, room for 112 keys before the table doubles.
constexpr std::size_t kInitialSlots = 128;

// A fast word-at-a-time hash; keys are short and only need spreading.
std::uint64_t hash_bytes(std::string_view s) {
    const char* p = s.data();
    std::size_t n = s.size();
    std::uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
    while (n >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
        p += 8;
        n -= 8;
    }
    std::uint64_t w = 0;
    std::memcpy(&w, p, n);
    h = (h ^ w) * 0x94D049BB133111EBull;
    return h ^ (h >> 29);
}

}  // namespace

Ref make_str(const json::DecodedString& s) {
    const auto n = static_cast<Py_ssize_t>(s.text.size());
    if (s.ascii) {
        Ref str = Ref::steal(PyUnicode_New(n, 127));
        std::memcpy(PyUnicode_1BYTE_DATA(str.get()), s.text.data(), s.text.size());
        return str;
    }
    return Ref::steal(PyUnicode_DecodeUTF8(s.text.data(), n, "strict"));
}

KeyCache::KeyCache() : slots_(kInitialSlots, 0) { entries_.reserve(kInitialSlots - kInitialSlots / 8); }

PyObject* KeyCache::get(const json::DecodedString& key) {
    const std::uint64_t h = hash_bytes(key.text);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
        const std::uint32_t slot = slots_[i];
        if (slot == 0) {
            Ref str = make_str(key);
            PyObject* borrowed = str.get();
            entries_.push_back({h, bytes_.size(), key.text.size(), std::move(str)});
            bytes_.append(key.text);
            slots_[i] = static_cast<std::uint32_t>(entries_.size());
            if (entries_.size() > slots_.size() - slots_.size() / 8) grow();
            return borrowed;
        }
        const Entry& e = entries_[slot - 1];
        if (e.hash == h && e.length == key.text.size() &&
            std::memcmp(bytes_.data() + e.offset, key.text.data(), e.length) == 0)
            return e.str.get();
    }
}

void KeyCache::grow() {
    if (slots_.size() >= (std::size_t{1} << 31)) throw InternalError("key cache exceeds 2^31 slots");
    std::vector<std::uint32_t> bigger(slots_.size() * 2, 0);
    const std::size_t mask = bigger.size() - 1;
    for (std::size_t k = 0; k < entries_.size(); ++k) {
        std::size_t i = entries_[k].hash & mask;
        while (bigger[i] != 0) i = (i + 1) & mask;
        bigger[i] = static_cast<std::uint32_t>(k + 1);
    }
    slots_ = std::move(bigger);
}

}  // namespace brandor::py
