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

// Collects run lengths as the differences between the positions where a new
// run starts. Lengths are kept modulo 2^32, as the toolkit's 32-bit counter
// keeps them when a run reaches 2^32 pixels.
class RunSink {
public:
    explicit RunSink(std::vector<uint32_t>& out) : out_(out) {
        out_.resize(std::max<std::size_t>(out_.capacity(), 64));
    }
    // Room for `k` more runs without a capacity check per run.
    void reserve_more(std::size_t k) {
        if (m_ + k > out_.size()) out_.resize(std::max(out_.size() * 2, m_ + k));
    }
    void start_at(std::size_t pos) {
        out_[m_++] = static_cast<uint32_t>(pos - last_);
        last_ = pos;
    }
    void finish(std::size_t end) {
        reserve_more(1);
        out_[m_++] = static_cast<uint32_t>(end - last_);
        out_.resize(m_);
    }

private:
    std::vector<uint32_t>& out_;
    std::size_t m_ = 0;
    std::size_t last_ = 0;
};

}  // namespace

void run_encode_counts(std::span<const uint8_t> bytes, std::vector<uint32_t>& counts) {
    const uint8_t* p = bytes.data();
    const std::size_t n = bytes.size();
    RunSink sink(counts);
    // The first pixel is compared with 0: a mask starting with 1s has an
    // empty first run of 0s.
    if (n > 0 && p[0] != 0) {
        sink.reserve_more(1);
        sink.start_at(0);
    }
    std::size_t i = 1;
    // Blocks of 16 bytes, each compared with the bytes one position before:
    // a run of equal bytes costs one comparison per block, and each change is
    // found from the bit mask without a branch per byte.
    for (; i + 16 <= n; i += 16) {
        uint32_t bits = changes16(p + i);
        if (!bits) continue;
        sink.reserve_more(16);
        do {
            sink.start_at(i + static_cast<std::size_t>(__builtin_ctz(bits)));
            bits &= bits - 1;
        } while (bits);
    }
    for (; i < n; ++i) {
        if (p[i] != p[i - 1]) {
            sink.reserve_more(1);
            sink.start_at(i);
        }
    }
    sink.finish(n);
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
