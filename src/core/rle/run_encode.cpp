#include "core/rle/run_encode.hpp"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/error.hpp"

namespace brandor::rle {

namespace {

// Bit j of the result is set when byte j of p[0..16) differs from the byte
// before it (p[-1] must be readable).
inline uint32_t changes16(const uint8_t* p) {
#if defined(__SSE2__)
    const __m128i cur = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p - 1));
    return ~static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(cur, before))) & 0xFFFFu;
#else
    uint32_t bits = 0;
    for (int j = 0; j < 16; ++j) bits |= static_cast<uint32_t>(p[j] != p[j - 1]) << j;
    return bits;
#endif
}

}  // namespace

RunWriter::RunWriter(std::vector<uint32_t>& counts) : out_(counts) {
    out_.resize(std::max<std::size_t>(out_.capacity(), 64));
}

void RunWriter::reserve_more(std::size_t k) {
    if (m_ + k > out_.size()) out_.resize(std::max(out_.size() * 2, m_ + k));
}

void RunWriter::append(uint64_t pos, std::span<const uint8_t> bytes) {
    const std::size_t n = bytes.size();
    if (n == 0) return;
    const uint8_t* p = bytes.data();
    reserve_more(2);
    // The gap since the last segment holds 0s.
    if (pos > end_ && value_ != 0) start_at(end_, 0);
    if (p[0] != value_) start_at(pos, p[0]);
    // Blocks of 16 bytes, each compared with the bytes one position before:
    // a run of equal bytes costs one comparison per block, and each change is
    // found from the bit mask without a branch per byte.
    std::size_t i = 1;
    for (; i + 16 <= n; i += 16) {
        uint32_t bits = changes16(p + i);
        if (!bits) continue;
        reserve_more(16);
        do {
            const std::size_t j = i + static_cast<std::size_t>(__builtin_ctz(bits));
            start_at(pos + j, p[j]);
            bits &= bits - 1;
        } while (bits);
    }
    for (; i < n; ++i) {
        if (p[i] != p[i - 1]) {
            reserve_more(1);
            start_at(pos + i, p[i]);
        }
    }
    end_ = pos + n;
}

void RunWriter::finish(uint64_t total) {
    reserve_more(2);
    if (total > end_ && value_ != 0) start_at(end_, 0);
    out_[m_++] = static_cast<uint32_t>(total - last_);
    out_.resize(m_);
}

void run_encode_counts(std::span<const uint8_t> bytes, std::vector<uint32_t>& counts) {
    RunWriter writer(counts);
    writer.append(0, bytes);
    writer.finish(bytes.size());
}

Rle run_encode(std::span<const uint8_t> bytes, uint32_t h, uint32_t w) {
    if (bytes.size() != pixel_count(h, w))
        throw InternalError("run_encode: byte count does not match the mask size");
    Rle r{h, w, {}};
    run_encode_counts(bytes, r.counts);
    r.counts.shrink_to_fit();
    return r;
}

void expand(const Rle& r, std::span<uint8_t> dest) {
    uint8_t* out = dest.data();
    const std::size_t n = dest.size();
    std::size_t pos = 0;
    uint8_t value = 0;
    for (const uint32_t c : r.counts) {
        if (pos >= n) break;
        const std::size_t len = std::min<std::size_t>(c, n - pos);
        std::memset(out + pos, value, len);
        pos += len;
        value ^= 1;
    }
    if (pos < n) std::memset(out + pos, 0, n - pos);
}

}  // namespace brandor::rle
