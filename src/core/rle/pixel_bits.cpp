#include "core/rle/pixel_bits.hpp"

#include <algorithm>
#include <bit>

namespace brandor::rle {

namespace {

// Sets bits [b, e) (b < e).
inline void set_range(uint64_t* words, uint64_t b, uint64_t e) {
    const uint64_t wb = b >> 6, we = (e - 1) >> 6;
    const uint64_t lo = ~uint64_t{0} << (b & 63);
    const uint64_t hi = ~uint64_t{0} >> (63 - ((e - 1) & 63));
    if (wb == we) {
        words[wb] |= lo & hi;
        return;
    }
    words[wb] |= lo;
    std::fill(words + wb + 1, words + we, ~uint64_t{0});
    words[we] |= hi;
}

}  // namespace

void PixelBits::reset(uint64_t pixels) {
    pixels_ = pixels;
    words_.assign((pixels + 63) / 64, 0);
}

void PixelBits::paint(std::span<const uint32_t> counts, unsigned parity) {
    uint64_t* words = words_.data();
    const std::size_t n = counts.size();
    uint64_t pos = 0;
    std::size_t i = 0;
    if (parity == 1 && n > 0) {
        pos = counts[0];
        i = 1;
    }
    for (; i < n; i += 2) {
        const uint32_t c = counts[i];
        if (c != 0) set_range(words, pos, pos + c);  // only a leading run is empty
        pos += c;
        if (i + 1 < n) pos += counts[i + 1];
    }
}

void PixelBits::to_counts(bool complement, std::vector<uint32_t>& out) const {
    // A run starts at every pixel whose value differs from the one before it
    // (the value before pixel 0 is 0). Those pixels are the set bits of
    // y ^ (y << 1 with the previous word's top bit carried in).
    const uint64_t flip = complement ? ~uint64_t{0} : 0;
    const std::size_t nwords = words_.size();
    const unsigned tail = static_cast<unsigned>(pixels_ & 63);
    const uint64_t last_mask = tail ? (uint64_t{1} << tail) - 1 : ~uint64_t{0};
    auto changes = [&](std::size_t k, uint64_t& carry) {
        const uint64_t y = words_[k] ^ flip;
        uint64_t t = y ^ ((y << 1) | carry);
        carry = y >> 63;
        if (k + 1 == nwords) t &= last_mask;  // no pixels past the end
        return t;
    };
    std::size_t total = 0;
    uint64_t carry = 0;
    for (std::size_t k = 0; k < nwords; ++k) total += static_cast<std::size_t>(std::popcount(changes(k, carry)));
    out.resize(total + 1);
    uint32_t* dst = out.data();
    uint64_t last = 0;
    carry = 0;
    for (std::size_t k = 0; k < nwords; ++k) {
        uint64_t t = changes(k, carry);
        while (t) {
            const uint64_t q = 64 * k + static_cast<uint64_t>(std::countr_zero(t));
            *dst++ = static_cast<uint32_t>(q - last);
            last = q;
            t &= t - 1;
        }
    }
    *dst = static_cast<uint32_t>(pixels_ - last);
}

}  // namespace brandor::rle
