// The compact reader: builds an InstanceTable straight from a compact store's
// columns and snapshot, without any Python object, so it runs with the
// interpreter lock released. Only records whose image and category are both
// evaluated become rows (store order kept); geometry kept as text is parsed
// only for rows that can be compared: detections within the budget, and, for
// masks, rows whose group has a counterpart on the other side.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/compact/columns.hpp"
#include "core/eval/instance_table.hpp"
#include "core/eval/table_builder.hpp"
#include "core/eval/timings.hpp"

namespace brandor::eval {

// One place per record, in store order: both positions or neither.
std::vector<RowPlace> record_places(const compact::CompactColumns& columns, const IdMaps& ids);

struct CompactReadContext {
    IouType kind;
    const std::vector<std::int64_t>& img_ids;
    const ImageSizes& sizes;        // mask kinds
    const CounterpartSet& counterparts;  // mask kinds: groups with an instance on the other side
    bool use_cats;
    std::uint32_t slots;
    std::uint64_t budget;
    PhaseTimings& timings;
};

// The table of one compact side; `places` comes from record_places.
InstanceTable read_compact(const compact::CompactStore& store, bool ground_truth, std::span<const RowPlace> places,
                           const CompactReadContext& context);

}  // namespace brandor::eval
