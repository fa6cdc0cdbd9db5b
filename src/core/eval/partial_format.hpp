// The byte form of a partial result: a magic tag and a format version, the
// shard's parameters in full (so that partials evaluated with different
// parameters are refused), the record's columns (small counts variable-length,
// statuses packed two bits each), the caller's bytes, and a 64-bit checksum
// over all of it. Numbers are little-endian whatever the machine, so partials
// travel between machines.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/eval/partial.hpp"

namespace brandor::eval {

inline constexpr std::uint32_t kPartialFormatVersion = 1;

std::vector<std::uint8_t> encode_partial(const PartialRecord& rec);

// The record the bytes hold. Bytes of another kind, of another format
// version, truncated, corrupted or inconsistent raise a ValueError that says which.
PartialRecord decode_partial(std::span<const std::uint8_t> bytes);

}  // namespace brandor::eval
