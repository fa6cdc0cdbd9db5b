// Run-encoding of mask bytes and its inverse, expansion of an Rle to bytes.
// Mask bytes are one byte per pixel in column-major order; a new run starts
// wherever a byte differs from the one before it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/rle/rle.hpp"

namespace brandor::rle {

// Run-encodes the h*w bytes of one mask (`bytes.size()` must be h*w; an
// InternalError otherwise). The bytes must hold 0 and one nonzero value to
// read back as the mask: 0, 1, 2 gives the runs [1, 1, 1]. An empty mask
// gives [0].
Rle run_encode(std::span<const uint8_t> bytes, uint32_t h, uint32_t w);

// The same runs written into `counts` (replacing its contents and keeping its
// capacity, for callers that encode many masks with one buffer).
void run_encode_counts(std::span<const uint8_t> bytes, std::vector<uint32_t>& counts);

// Writes the pixels of `r` as 0/1 bytes into `dest`, which is filled whole:
// runs are cut at its end and pixels past the last run are 0. The counts
// need not add up to dest.size().
void expand(const Rle& r, std::span<uint8_t> dest);

}  // namespace brandor::rle
