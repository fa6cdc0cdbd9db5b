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

namespace {

// The plain (not escaped) text: the counts are sized exactly by counting the
// group ends first, then written without capacity checks.
void decode_plain(std::string_view text, std::vector<uint32_t>& out) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t groups = 0;
    for (std::size_t i = 0; i < n; ++i) groups += ((s[i] - 48) & 0x20) == 0;
    if (n > 0 && ((s[n - 1] - 48) & 0x20) != 0) ++groups;  // a group cut off by the end
    out.resize(groups);
    uint32_t* dst = out.data();
    // Branch-light: every byte updates the pending count and stores it; only a
    // group's last byte advances the output position. Every write is in
    // bounds: a byte that ends no group is followed by one that does, or the
    // text ends inside that group, which was counted too.
    std::size_t m = 0;
    uint64_t x = 0;
    unsigned shift = 0;
    for (std::size_t p = 0; p < n; ++p) {
        const uint32_t c = static_cast<uint8_t>(s[p] - 48);
        // Unsigned arithmetic: the sign extension and the sum wrap on purpose;
        // only the low 32 bits are kept. Bits past 64 contribute nothing.
        const uint64_t v = x | (shift < 64 ? static_cast<uint64_t>(c & 0x1F) << shift : 0);
        const unsigned next = shift + 5;
        const bool end = (c & 0x20) == 0;
        const bool extend = end && (c & 0x10) && next <= 63;
        uint64_t value = v | (extend ? ~uint64_t{0} << (next & 63) : 0);
        if (m > 2) value += dst[m - 2];
        dst[m] = static_cast<uint32_t>(value);
        m += end;
        x = end ? 0 : v;
        shift = end ? 0 : next;
    }
}

}  // namespace

void decode_counts(std::string_view text, bool escaped, std::vector<uint32_t>& out) {
    if (!escaped) {
        decode_plain(text, out);
        return;
    }
    out.clear();
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t p = 0;
    while (p < n) {
        uint64_t x = 0;
        unsigned shift = 0;
        uint32_t c;
        do {
            // A backslash makes the next byte literal (JSON's doubled backslash).
            if (s[p] == '\\') {
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

Rle decode_rle(std::string_view text, uint32_t h, uint32_t w) {
    Rle r{h, w, {}};
    decode_counts(text, false, r.counts);  // sized exactly: no spare capacity
    return r;
}

}  // namespace brandor::rle
