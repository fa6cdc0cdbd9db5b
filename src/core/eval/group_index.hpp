// Instances sorted and cut into runs per (image, category), with one span of
// runs per category slot, so that "which instances belong to image i and
// category k" is two slice lookups. Built once per table at construction and
// read-only afterwards; image pairing joins the two tables' runs per slot.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace brandor::eval {

struct GroupRun {
    std::uint32_t image;
    std::uint32_t start;   // position in GroupIndex::order
    std::uint32_t length;
};

struct CategorySpan {
    std::uint32_t first = 0;  // first run
    std::uint32_t end = 0;    // one past the last run
};

struct GroupIndex {
    std::vector<std::uint32_t> order;  // instance positions, sorted by group key
    std::vector<GroupRun> runs;
    std::vector<CategorySpan> category_spans;  // K entries

    std::span<const GroupRun> category_runs(std::uint32_t slot) const;
    std::span<const std::uint32_t> positions(const GroupRun& run) const {
        return std::span<const std::uint32_t>(order).subspan(run.start, run.length);
    }
};

// Groups by (category, image) when use_cats, else by image alone (instances of
// an image ordered by category index); the sort is stable, so instances of a
// group keep their table order. Rows with an unknown image or category are left out.
GroupIndex build_group_index(std::span<const std::uint32_t> image_index,
                             std::span<const std::uint32_t> category_index,
                             std::uint32_t slots, bool use_cats);

// One image of a category slot with its ground-truth and detection runs.
struct ImagePair {
    bool has_gt = false;
    std::uint32_t gt_start = 0;
    std::uint32_t gt_length = 0;
    std::uint32_t image = 0;
    bool has_dt = false;
    std::uint32_t dt_start = 0;
    std::uint32_t dt_length = 0;
};

// Merge join of both indexes' runs of slot k: every image that has a ground
// truth or a detection of the slot, once, in ascending image index.
std::vector<ImagePair> pair_images(const GroupIndex& gt, const GroupIndex& dt, std::uint32_t slot);

}  // namespace brandor::eval
