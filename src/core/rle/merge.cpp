#include "core/rle/merge.hpp"

#include <algorithm>

#include "core/rle/run_walk.hpp"

namespace brandor::rle {

void merge_runs(std::span<const uint32_t> A, std::span<const uint32_t> B, bool intersect,
                std::vector<uint32_t>& result) {
    // A run is written only when the value changes (after an index moved on)
    // or at the end, so |A| + |B| + 2 slots always suffice.
    result.resize(A.size() + B.size() + 2);
    uint32_t* out = result.data();
    std::size_t m = 0;
    RunCursor a(A), b(B);
    uint32_t v = 0, cc = 0;  // wrap, as in the toolkit
    for (;;) {
        const uint32_t c = joint_step(a, b);
        cc += c;
        a.advance(c);
        b.advance(c);
        const uint32_t ct = a.left() + b.left();  // wraps on purpose
        const uint32_t nv = intersect ? (a.value() & b.value()) : (a.value() | b.value());
        if (nv != v || ct == 0) {
            out[m++] = cc;
            cc = 0;
        }
        if (ct == 0) break;
        v = nv;
    }
    result.resize(m);
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
