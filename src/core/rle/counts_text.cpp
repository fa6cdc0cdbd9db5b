#include "core/rle/counts_text.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/error.hpp"

namespace brandor::rle {

namespace {

constexpr unsigned kMaxGroupChars = 7;

// Writes the characters of one count's group at `dst` and returns how many:
// the fewest k whose 5k bits hold x with its sign, five bits a character
// from the lowest, 0x20 on all but the last, each plus 48. The toolkit's
// loop (emit five bits, shift arithmetically, go on while the rest is not
// the sign extension of the last character) stops at that same k. Eight
// bytes are stored whatever k is, without branches: how many characters a
// count takes is as good as random in smooth masks.
inline std::size_t write_group(int64_t x, char* dst) {
    const auto u = static_cast<uint64_t>(x);
    const std::size_t k = (static_cast<std::size_t>(std::bit_width((u ^ (uint64_t{0} - (u >> 63))) | 1)) + 5) / 5;
    uint64_t word = 0;
    for (unsigned j = 0; j < kMaxGroupChars; ++j) word |= ((u >> (5 * j)) & 0x1F) << (8 * j);
    const uint64_t more = (uint64_t{1} << (8 * (k - 1))) - 1;  // the bytes before the last
    word = (word | (0x2020202020202020ull & more)) + 0x3030303030303030ull;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(dst, &word, 8);
    } else {
        for (unsigned j = 0; j < 8; ++j) dst[j] = static_cast<char>(word >> (8 * j));
    }
    return k;
}

}  // namespace

void encode_counts(std::span<const uint32_t> counts, std::string& out) {
    // A count takes at most seven characters (a difference of 33 bits with its
    // sign): a block of counts is written through a pointer into a buffer
    // sized for the worst case (and the eighth byte of the last word), then
    // appended.
    constexpr std::size_t kBlock = 512;
    char buffer[kBlock * kMaxGroupChars + 1];
    for (std::size_t start = 0; start < counts.size(); start += kBlock) {
        const std::size_t end = std::min(counts.size(), start + kBlock);
        char* dst = buffer;
        for (std::size_t i = start; i < end; ++i) {
            int64_t x = counts[i];
            // The third count is written whole; later ones relative to two back.
            if (i > 2) x -= static_cast<int64_t>(counts[i - 2]);
            if (x >= -16 && x < 16) {
                // One character: the low five bits, the sign in bit 4.
                *dst++ = static_cast<char>((x & 0x1F) + 48);
                continue;
            }
            dst += write_group(x, dst);
        }
        out.append(buffer, static_cast<std::size_t>(dst - buffer));
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
    // Two passes. First every group's own value, branch-free: every byte
    // updates the pending value and stores it, only a group's last byte
    // advances the output position. Every write is in bounds: a byte that
    // ends no group is followed by one that does, or the text ends inside that
    // group, which was counted too. The choices are made with all-ones masks
    // rather than branches: whether a byte ends a group and carries the sign
    // is as good as random in fragmented masks.
    // Only the low 32 bits of a count are kept, and bits never move down: a
    // group's bits from position 32 on cannot matter. So the shift stops at
    // 40 (later characters and the sign extension beyond land above bit 31),
    // and no check for shifts past 63 is needed.
    std::size_t m = 0;
    uint64_t x = 0;
    uint64_t shift = 0;
    std::size_t p = 0;
    // One byte's part of its group (c: the byte minus 48).
    const auto step = [&](uint64_t c) {
        const uint64_t v = x | ((c & 0x1F) << shift);
        const uint64_t next = std::min<uint64_t>(shift + 5, 40);
        const uint64_t end = ((c >> 5) & 1) - 1;  // all ones at a group's last byte
        const uint64_t sign = uint64_t{0} - ((c >> 4) & 1);
        dst[m] = static_cast<uint32_t>(v | (end & sign & (~uint64_t{0} << next)));
        m += end & 1;
        x = v & ~end;
        shift = next & ~end;
    };
    // Eight bytes at a time where, between groups, none of them continues a
    // group: each is a whole count, its five bits sign-extended. Fragmented
    // masks are written almost entirely so (their runs differ little from
    // the runs two back), and so are long stretches of smooth shapes.
    constexpr uint64_t kHigh = 0x8080808080808080ull, k48 = 0x3030303030303030ull;
    constexpr uint64_t kMore = 0x2020202020202020ull;
    // (Bytes are read from the word lowest first: little-endian only.)
    constexpr bool kWordPath = std::endian::native == std::endian::little;
    while (kWordPath && p + 8 <= n) {
        if (shift == 0) {
            uint64_t word;
            std::memcpy(&word, s + p, 8);
            // Bytewise word - 48, without borrows between bytes.
            const uint64_t c = ((word | kHigh) - k48) ^ ((word ^ ~k48) & kHigh);
            if ((c & kMore) == 0) {
                for (unsigned j = 0; j < 8; ++j) {
                    const uint32_t five = static_cast<uint32_t>(c >> (8 * j)) & 0x1F;
                    dst[m + j] = (five ^ 0x10u) - 0x10u;  // sign bit 0x10 extended
                }
                m += 8;
                p += 8;
                continue;
            }
        }
        // Otherwise byte by byte until the next group ends.
        for (const std::size_t stop = p + 8; p < stop; ++p) step(static_cast<uint8_t>(s[p] - 48));
    }
    for (; p < n; ++p) step(static_cast<uint8_t>(s[p] - 48));
    // Then from the fourth count on, add the count two places back (32-bit,
    // wrapping): two interleaved running sums.
    if (groups > 3) {
        uint32_t back2 = dst[1], back1 = dst[2];
        for (std::size_t i = 3; i < groups; ++i) {
            const uint32_t v = dst[i] + back2;
            dst[i] = v;
            back2 = back1;
            back1 = v;
        }
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
