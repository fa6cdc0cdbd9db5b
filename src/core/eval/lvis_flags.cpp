#include "core/eval/lvis_flags.hpp"

#include <algorithm>
#include <unordered_set>

#include "core/error.hpp"

namespace brandor::eval {
namespace {

struct PairHash {
    std::size_t operator()(const std::pair<std::int64_t, std::int64_t>& p) const noexcept {
        const auto a = static_cast<std::uint64_t>(p.first), b = static_cast<std::uint64_t>(p.second);
        return static_cast<std::size_t>((a * 0x9E3779B97F4A7C15ull) ^ (b + 0x7F4A7C159E3779B9ull + (a << 6)));
    }
};

}  // namespace

void apply_lvis_flags(EvaluatorCore& core, const LvisFlags& flags) {
    if (flags.gt_ignore.size() != core.gt.size())
        throw Error(ErrorKind::Value, "LVIS ignore flags do not match ground-truth length");
    core.gt.ignore = flags.gt_ignore;
    if (!flags.preserve_crowds) std::fill(core.gt.iscrowd.begin(), core.gt.iscrowd.end(), std::uint8_t{0});

    const std::unordered_set<std::pair<std::int64_t, std::int64_t>, PairHash> pairs(flags.non_exhaustive.begin(),
                                                                                      flags.non_exhaustive.end());
    const InstanceTable& dt = core.dt;
    std::vector<std::uint8_t> marked(dt.size(), 0);
    if (!pairs.empty()) {
        for (std::size_t r = 0; r < dt.size(); ++r) {
            const std::uint32_t i = checked_at(dt.image_index, r), k = checked_at(dt.category_index, r);
            if (i == kUnknownIndex || k == kUnknownIndex) continue;
            marked[r] = pairs.count({checked_at(core.params.img_ids, i), checked_at(core.params.cat_ids, k)}) != 0;
        }
    }
    core.dt.non_exhaustive = std::move(marked);
}

}  // namespace brandor::eval
