#include "core/rle/intervals.hpp"

#include <algorithm>

namespace brandor::rle {

bool well_formed(std::span<const uint32_t> counts, uint64_t pixels) {
    if (counts.empty() || pixels >= (uint64_t{1} << 31)) return false;
    // Sum and "any empty run" over the whole list, with no early exit, so
    // the loop has no branch to mispredict.
    uint64_t sum = counts[0];
    uint32_t empty = 0;
    for (std::size_t i = 1; i < counts.size(); ++i) {
        sum += counts[i];
        empty |= counts[i] == 0;
    }
    return empty == 0 && sum == pixels;
}

void ones_intervals(std::span<const uint32_t> counts, uint64_t pixels, OnesIntervals& out) {
    out.exact = false;
    out.begin.clear();
    out.end.clear();
    if (counts.empty() || pixels >= (uint64_t{1} << 31)) return;
    out.begin.reserve(counts.size() / 2);
    out.end.reserve(counts.size() / 2);
    uint64_t pos = 0;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        const uint32_t c = counts[i];
        if (c == 0 && i > 0) break;
        if (i % 2 == 1) {
            out.begin.push_back(static_cast<uint32_t>(pos));
            out.end.push_back(static_cast<uint32_t>(std::min<uint64_t>(pos + c, pixels)));
        }
        pos += c;
        if (pos > pixels) break;
        if (i + 1 == counts.size()) out.exact = pos == pixels;
    }
    if (!out.exact) {
        out.begin.clear();
        out.end.clear();
    }
}

void merge_intervals(const OnesIntervals& a, const OnesIntervals& b, bool intersect, uint64_t pixels,
                     std::vector<uint32_t>& counts) {
    // The canonical runs of the result: 0s up to each interval, then its 1s;
    // intervals that touch are one run.
    counts.clear();
    counts.reserve(2 * (a.begin.size() + b.begin.size()) + 1);  // two runs per interval, then the 0s
    uint32_t last = 0;  // end of the previous interval
    auto emit = [&](uint32_t from, uint32_t to) {
        if (!counts.empty() && from == last) {
            counts.back() += to - from;
        } else {
            counts.push_back(from - last);
            counts.push_back(to - from);
        }
        last = to;
    };
    const std::size_t na = a.begin.size(), nb = b.begin.size();
    std::size_t i = 0, j = 0;
    if (intersect) {
        while (i < na && j < nb) {
            const uint32_t from = std::max(a.begin[i], b.begin[j]);
            const uint32_t to = std::min(a.end[i], b.end[j]);
            if (from < to) emit(from, to);
            if (a.end[i] < b.end[j])
                ++i;
            else
                ++j;
        }
    } else {
        while (i < na || j < nb) {
            // The interval that starts first, grown by every interval that
            // starts within or right after it.
            const bool take_a = j >= nb || (i < na && a.begin[i] <= b.begin[j]);
            uint32_t from = take_a ? a.begin[i] : b.begin[j];
            uint32_t to = take_a ? a.end[i++] : b.end[j++];
            for (;;) {
                if (i < na && a.begin[i] <= to) {
                    to = std::max(to, a.end[i++]);
                } else if (j < nb && b.begin[j] <= to) {
                    to = std::max(to, b.end[j++]);
                } else {
                    break;
                }
            }
            emit(from, to);
        }
    }
    if (counts.empty() || last < pixels) counts.push_back(static_cast<uint32_t>(pixels - last));
}

}  // namespace brandor::rle
