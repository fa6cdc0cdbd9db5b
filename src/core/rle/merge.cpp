#include "core/rle/merge.hpp"

#include <algorithm>

namespace brandor::rle {

void merge_runs(std::span<const uint32_t> A, std::span<const uint32_t> B, bool intersect,
                std::vector<uint32_t>& result) {
    // A run is written only when the value changes (after an index moved on)
    // or at the end, so |A| + |B| + 2 slots always suffice.
    result.resize(A.size() + B.size() + 2);
    uint32_t* out = result.data();
    std::size_t m = 0;
    // All counters are unsigned 32-bit and wrap, as in the toolkit.
    uint32_t ca = A[0], cb = B[0];
    std::size_t a = 1, b = 1;
    uint32_t va = 0, vb = 0, v = 0, cc = 0;
    for (;;) {
        // A list that has ended (no pixels left, no runs left) stays at 0
        // while the other one goes on: min() alone would stall here forever.
        const bool a_done = ca == 0 && a >= A.size();
        const bool b_done = cb == 0 && b >= B.size();
        const uint32_t c = a_done ? cb : b_done ? ca : std::min(ca, cb);
        cc += c;
        if (!a_done) ca -= c;
        if (ca == 0 && a < A.size()) {
            ca = A[a++];
            va ^= 1;
        }
        if (!b_done) cb -= c;
        if (cb == 0 && b < B.size()) {
            cb = B[b++];
            vb ^= 1;
        }
        if (ca == 0 && a >= A.size()) va = 0;
        if (cb == 0 && b >= B.size()) vb = 0;
        const uint32_t ct = ca + cb;  // wraps on purpose
        const uint32_t nv = intersect ? (va & vb) : (va | vb);
        if (nv != v || ct == 0) {
            out[m++] = cc;
            cc = 0;
        }
        if (ct == 0) break;
        v = nv;
    }
    result.resize(m);
}

std::vector<uint32_t> merge_runs(std::span<const uint32_t> a, std::span<const uint32_t> b, bool intersect) {
    std::vector<uint32_t> out;
    merge_runs(a, b, intersect, out);
    return out;
}

Rle merge(std::span<const Rle> rles, bool intersect) {
    if (rles.empty()) return Rle{};
    if (rles.size() == 1) return rles[0];
    const uint32_t h = rles[0].h, w = rles[0].w;
    std::vector<uint32_t> acc = rles[0].counts, next;
    bool no_counts = false;
    for (std::size_t i = 1; i < rles.size(); ++i) {
        const Rle& r = rles[i];
        if (r.h != h || r.w != w) return Rle{};
        // Keep comparing sizes: a later mismatch still gives the empty Rle.
        if (no_counts || acc.empty() || r.counts.empty()) {
            no_counts = true;
            continue;
        }
        merge_runs(acc, r.counts, intersect, next);
        acc.swap(next);
    }
    Rle out{h, w, {}};
    if (!no_counts) {
        out.counts = std::move(acc);
        out.counts.shrink_to_fit();
    }
    return out;
}

}  // namespace brandor::rle
