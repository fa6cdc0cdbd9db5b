#include "core/rle/run_encode.hpp"

#include <algorithm>
#include <cstring>

#include "core/error.hpp"

namespace brandor::rle {

namespace {

// True when all 32 bytes at p equal v.
inline bool block_equals(const uint8_t* p, uint8_t v) {
    uint64_t pattern = 0x0101010101010101ull * v;
    uint64_t acc = 0;
    for (int k = 0; k < 4; ++k) {
        uint64_t word;
        std::memcpy(&word, p + 8 * k, 8);
        acc |= word ^ pattern;
    }
    return acc == 0;
}

}  // namespace

Rle run_encode(std::span<const uint8_t> bytes, uint32_t h, uint32_t w) {
    if (bytes.size() != pixel_count(h, w))
        throw InternalError("run_encode: byte count does not match the mask size");
    Rle r{h, w, {}};
    r.counts.reserve(16);
    const uint8_t* p = bytes.data();
    const std::size_t n = bytes.size();
    uint8_t prev = 0;
    // Runs are counted in 32 bits and a run of 2^32 pixels or more wraps,
    // as the COCO toolkit's counter does.
    uint32_t run = 0;
    std::size_t i = 0;
    const std::size_t blocks_end = n - n % 32;
    while (i < blocks_end) {
        if (block_equals(p + i, prev)) {
            run += 32;
            i += 32;
            continue;
        }
        for (const std::size_t e = i + 32; i < e; ++i) {
            if (p[i] != prev) {
                r.counts.push_back(run);
                run = 0;
                prev = p[i];
            }
            ++run;
        }
    }
    for (; i < n; ++i) {
        if (p[i] != prev) {
            r.counts.push_back(run);
            run = 0;
            prev = p[i];
        }
        ++run;
    }
    r.counts.push_back(run);
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
