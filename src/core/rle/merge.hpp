// Union and intersection of run-length masks of one size, with the COCO
// toolkit's unsigned 32-bit counters (a sum of two runs that wraps to 0 ends
// the walk early, exactly as there).
#pragma once

#include <span>
#include <vector>

#include "core/rle/intervals.hpp"
#include "core/rle/pixel_bits.hpp"
#include "core/rle/rle.hpp"

namespace brandor::rle {

// Merges `rles` in order: none gives the empty Rle (0 x 0, no counts), one a
// copy, masks of differing sizes the empty Rle, and a mask without counts
// (once all sizes agree) an h x w Rle without counts.
Rle merge(std::span<const Rle> rles, bool intersect);

// The same merge fed one mask at a time, for callers that read masks one by
// one into a reused buffer: add() takes the masks in order, result() gives
// what merge() would give for them (call it once).
class Merger {
public:
    explicit Merger(bool intersect) : intersect_(intersect) {}
    void add(const Rle& r);
    Rle result();

private:
    bool intersect_;
    std::size_t added_ = 0;
    uint32_t h_ = 0, w_ = 0;
    bool mismatch_ = false;   // sizes differ: the empty Rle
    bool no_counts_ = false;  // a mask without counts: h x w without counts
    // The result so far: run lengths in acc_, or, once fragmented masks
    // have been merged, the bit image in bits_ (in_bits_ set) of its 1s
    // (union) or of its 0s (intersection).
    std::vector<uint32_t> acc_, next_;
    bool in_bits_ = false;
    PixelBits bits_;
    OnesIntervals acc_ones_, next_ones_;  // reused buffers
};

// The pairwise step: A op B over their runs. Where one list ends before the
// other, its remaining pixels count as 0 (the toolkit would loop forever).
// Both must have counts. The result goes into `out`, whose capacity is reused.
void merge_runs(std::span<const uint32_t> a, std::span<const uint32_t> b, bool intersect,
                std::vector<uint32_t>& out);

}  // namespace brandor::rle
