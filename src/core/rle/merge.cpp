#include "core/rle/merge.hpp"

#include <algorithm>

#include "core/rle/intervals.hpp"
#include "core/rle/run_walk.hpp"

namespace brandor::rle {

void merge_runs(std::span<const uint32_t> A, std::span<const uint32_t> B, bool intersect,
                std::vector<uint32_t>& result) {
    // A run is written only when the value changes (after an index moved on)
    // or at the end, so |A| + |B| + 2 slots always suffice.
    result.resize(A.size() + B.size() + 2);
    uint32_t* out = result.data();
    std::size_t m = 0;
    uint32_t v = 0, cc = 0;  // wrap, as in the toolkit
    const uint32_t op_and = intersect ? 1u : 0u;
    // While both lists have a run beyond the next one neither can end, and
    // each step is the toolkit's, made without branches: which run ends first
    // is as good as random in fragmented masks.
    uint32_t ca = A[0], cb = B[0], va = 0, vb = 0;
    std::size_t a = 1, b = 1;
    bool done = false;
    while (a + 1 < A.size() && b + 1 < B.size()) {
        // The run that ends is replaced by the next; the other keeps what is
        // left of it (both, when they end together). Choices are all-ones
        // masks: the compiler turns plain conditionals here into branches
        // that fragmented masks mispredict, and each new length depends only
        // on one comparison of the old two.
        const uint32_t a_ends = 0u - static_cast<uint32_t>(ca <= cb);
        const uint32_t b_ends = 0u - static_cast<uint32_t>(cb <= ca);
        cc += (ca & a_ends) | (cb & ~a_ends);
        const uint32_t left_a = ca - cb, left_b = cb - ca;
        ca = (A[a] & a_ends) | (left_a & ~a_ends);
        cb = (B[b] & b_ends) | (left_b & ~b_ends);
        a += a_ends & 1;
        b += b_ends & 1;
        va ^= a_ends & 1;
        vb ^= b_ends & 1;
        const uint32_t nv = op_and ? (va & vb) : (va | vb);
        const uint32_t ct = ca + cb;  // wraps on purpose
        const uint32_t emit = 0u - static_cast<uint32_t>((nv != v) | (ct == 0));
        out[m] = cc;
        m += emit & 1;
        cc &= ~emit;
        if (ct == 0) {
            done = true;
            break;
        }
        v = nv;
    }
    if (!done) {
        RunCursor ra(A, a, ca, va), rb(B, b, cb, vb);
        for (;;) {
            const uint32_t c = joint_step(ra, rb);
            cc += c;
            ra.advance(c);
            rb.advance(c);
            const uint32_t ct = ra.left() + rb.left();  // wraps on purpose
            const uint32_t nv = intersect ? (ra.value() & rb.value()) : (ra.value() | rb.value());
            if (nv != v || ct == 0) {
                out[m++] = cc;
                cc = 0;
            }
            if (ct == 0) break;
            v = nv;
        }
    }
    result.resize(m);
}

void Merger::add(const Rle& r) {
    if (added_++ == 0) {
        h_ = r.h;
        w_ = r.w;
        acc_.assign(r.counts.begin(), r.counts.end());
        return;
    }
    if (mismatch_) return;
    if (r.h != h_ || r.w != w_) {
        mismatch_ = true;
        return;
    }
    // Keep comparing sizes: a later mismatch still gives the empty Rle.
    if (no_counts_ || (!in_bits_ && acc_.empty()) || r.counts.empty()) {
        no_counts_ = true;
        return;
    }
    // For well-formed masks the toolkit's merge gives the canonical runs of
    // the union or intersection of their pixels, whichever way it is
    // computed. Fragmented masks (fewer than 32 pixels a run on average) are
    // painted into a bit image, 1s for a union and 0s for an intersection
    // (whose result is the complement of the union of 0s): each mask costs
    // its own runs, where a joint walk would also cost the result so far.
    const uint64_t pixels = pixel_count(h_, w_);
    const unsigned parity = intersect_ ? 0 : 1;
    if (in_bits_) {
        if (well_formed(r.counts, pixels)) {
            bits_.paint(r.counts, parity);
            return;
        }
        // The result so far as runs, then the toolkit's walk for this mask.
        bits_.to_counts(intersect_, acc_);
        in_bits_ = false;
        merge_runs(acc_, r.counts, intersect_, next_);
        acc_.swap(next_);
        return;
    }
    const bool long_runs = pixels >= 32 * static_cast<uint64_t>(acc_.size() + r.counts.size());
    if (!long_runs && well_formed(acc_, pixels) && well_formed(r.counts, pixels)) {
        bits_.reset(pixels);
        bits_.paint(acc_, parity);
        bits_.paint(r.counts, parity);
        in_bits_ = true;
        return;
    }
    // Well-formed masks with long runs are merged as interval lists, which
    // gives the same runs in half the steps, each a branch that such masks
    // predict well. Masks that are not well-formed take the toolkit's walk.
    acc_ones_.exact = next_ones_.exact = false;
    if (long_runs) ones_intervals(acc_, pixels, acc_ones_);
    if (acc_ones_.exact) ones_intervals(r.counts, pixels, next_ones_);
    if (acc_ones_.exact && next_ones_.exact)
        merge_intervals(acc_ones_, next_ones_, intersect_, pixels, next_);
    else
        merge_runs(acc_, r.counts, intersect_, next_);
    acc_.swap(next_);
}

Rle Merger::result() {
    if (added_ == 0 || mismatch_) return Rle{};
    Rle out{h_, w_, {}};
    if (no_counts_) return out;
    if (in_bits_) {
        bits_.to_counts(intersect_, out.counts);  // sized exactly
    } else {
        out.counts = std::move(acc_);
        out.counts.shrink_to_fit();
    }
    return out;
}

Rle merge(std::span<const Rle> rles, bool intersect) {
    Merger merger(intersect);
    for (const Rle& r : rles) merger.add(r);
    return merger.result();
}

}  // namespace brandor::rle
