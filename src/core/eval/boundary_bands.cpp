#include "core/eval/boundary_bands.hpp"

#include <span>
#include <variant>

#include "core/error.hpp"
#include "core/parallel/pool.hpp"
#include "core/rle/boundary.hpp"

namespace brandor::eval {

namespace {

// Bands per pool task: enough to amortise the claim.
constexpr std::size_t kBandsPerTask = 16;

struct Row {
    MaskBoundaryStore* store;
    std::uint32_t row;
};

}  // namespace

void compute_boundary_bands(EvaluatorCore& core, double dilation) {
    auto* gm = std::get_if<MaskBoundaryStore>(&core.gt.geometry);
    auto* dm = std::get_if<MaskBoundaryStore>(&core.dt.geometry);
    if (!gm || !dm) return;
    Stopwatch watch;
    gm->boundaries.assign(gm->masks.size(), rle::Rle{});
    dm->boundaries.assign(dm->masks.size(), rle::Rle{});

    // Each row belongs to one image pair of one slot, so it is listed once.
    std::vector<Row> rows;
    for (std::uint32_t slot = 0; slot < core.slots; ++slot) {
        for (const ImagePair& pair : pair_images(core.gt_index, core.dt_index, slot)) {
            if (!pair.has_gt || !pair.has_dt) continue;
            const auto gts = std::span<const std::uint32_t>(core.gt_index.order).subspan(pair.gt_start, pair.gt_length);
            const auto dts = std::span<const std::uint32_t>(core.dt_index.order).subspan(pair.dt_start, pair.dt_length);
            const std::size_t before = rows.size();
            for (std::uint32_t r : dts)
                if (checked_at(core.dt_keep, r)) rows.push_back({dm, r});
            if (rows.size() == before) continue;  // every detection is past the budget
            for (std::uint32_t r : gts) rows.push_back({gm, r});
        }
    }
    // Each band lands in its own row, whatever order the pool takes them in.
    parallel::parallel_for_chunks(rows.size(), kBandsPerTask, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            MaskBoundaryStore& s = *rows[i].store;
            checked_at(s.boundaries, rows[i].row) = rle::boundary(checked_at(s.masks, rows[i].row), dilation);
        }
    });
    watch.add_to(core.timings.rasterise);
}

}  // namespace brandor::eval
