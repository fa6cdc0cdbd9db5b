#include "core/rle/counts_text.hpp"

#include "core/error.hpp"

namespace brandor::rle {

void encode_counts(std::span<const uint32_t> counts, std::string& out) {
    out.reserve(out.size() + 2 * counts.size());
    for (std::size_t i = 0; i < counts.size(); ++i) {
        int64_t x = counts[i];
        // The third count is written whole; later ones relative to two back.
        if (i > 2) x -= static_cast<int64_t>(counts[i - 2]);
        for (;;) {
            int64_t c = x & 0x1F;
            x >>= 5;  // arithmetic shift keeps the sign
            const bool more = (c & 0x10) ? (x != -1) : (x != 0);
            if (more) c |= 0x20;
            out.push_back(static_cast<char>(c + 48));
            if (!more) break;
        }
    }
}

std::string encode_counts(std::span<const uint32_t> counts) {
    std::string out;
    encode_counts(counts, out);
    return out;
}

void decode_counts(std::string_view text, bool escaped, std::vector<uint32_t>& out) {
    out.clear();
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t p = 0;
    while (p < n) {
        // Unsigned arithmetic: the sign extension and the final sum wrap on
        // purpose; only the low 32 bits are kept.
        uint64_t x = 0;
        unsigned shift = 0;
        uint32_t c;
        do {
            if (escaped && s[p] == '\\') {
                ++p;
                if (p >= n) throw InternalError("escaped counts text ends in a lone backslash");
            }
            c = static_cast<uint8_t>(s[p] - 48);
            if (shift < 64) x |= static_cast<uint64_t>(c & 0x1F) << shift;
            shift += 5;
            if (!(c & 0x20) && (c & 0x10) && shift <= 63) x |= ~uint64_t{0} << shift;
            ++p;
        } while ((c & 0x20) && p < n);
        const std::size_t m = out.size();
        if (m > 2) x += out[m - 2];
        out.push_back(static_cast<uint32_t>(x));
    }
}

std::vector<uint32_t> decode_counts(std::string_view text, bool escaped) {
    std::vector<uint32_t> out;
    decode_counts(text, escaped, out);
    return out;
}

Rle decode_rle(std::string_view text, uint32_t h, uint32_t w) {
    Rle r{h, w, {}};
    decode_counts(text, false, r.counts);
    r.counts.shrink_to_fit();
    return r;
}

}  // namespace brandor::rle
