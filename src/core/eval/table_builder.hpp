// The one way rows enter an InstanceTable. Both readers (the list reader with
// the interpreter lock held, the compact reader without it) hand the builder
// rows with raw image and category ids; the builder places them through the
// evaluator's position maps and fills every per-row column the same way.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "core/eval/instance_table.hpp"

namespace brandor::eval {

// id -> position; built by inserting ids in list order, so a repeated id maps
// to its last position.
using PositionMap = std::unordered_map<std::int64_t, std::uint32_t>;

PositionMap position_map(const std::vector<std::int64_t>& ids);

// The position of `id`, or kUnknownIndex.
std::uint32_t lookup(const PositionMap& map, std::int64_t id);

struct ImageSize {
    std::uint32_t height;
    std::uint32_t width;
};
using ImageSizes = std::unordered_map<std::int64_t, ImageSize>;

// The image and category positions of one row.
struct RowPlace {
    std::uint32_t image = kUnknownIndex;
    std::uint32_t category = kUnknownIndex;
    bool known() const { return image != kUnknownIndex && category != kUnknownIndex; }
};

// The evaluator's image and category position maps.
struct IdMaps {
    PositionMap images;
    PositionMap categories;

    // Each id looked up on its own (list sources keep half-known rows).
    RowPlace locate(std::int64_t image_id, std::int64_t category_id) const {
        return RowPlace{lookup(images, image_id), lookup(categories, category_id)};
    }
    // Both positions or neither (compact sources place a record whole).
    RowPlace place(std::int64_t image_id, std::int64_t category_id) const {
        RowPlace p = locate(image_id, category_id);
        return p.known() ? p : RowPlace{};
    }
};

// One annotation's per-row values, ids still raw.
struct RawRow {
    std::int64_t id = 0;
    double score = 0.0;
    double area = 0.0;
    std::uint8_t crowd = 0;
    std::uint8_t ignore = 0;  // ground truth: base ignore flag; detections: 0
};

// Appends one row at the given place to every per-row column of `table`
// (geometry is the reader's business).
inline void append_row(InstanceTable& table, const RawRow& row, RowPlace place) {
    table.ids.push_back(row.id);
    table.image_index.push_back(place.image);
    table.category_index.push_back(place.category);
    table.scores.push_back(row.score);
    table.areas.push_back(row.area);
    table.iscrowd.push_back(row.crowd);
    table.ignore.push_back(row.ignore);
    table.non_exhaustive.push_back(0);
}

// The groups that have at least one instance on one side, keyed by image and
// category slot (slot 0 when categories are pooled). A row of the other side
// whose group is not here is never compared, so its geometry is not needed.
class CounterpartSet {
public:
    explicit CounterpartSet(bool use_cats) : use_cats_(use_cats) {}
    void add(RowPlace p) {
        if (p.known()) keys_.push_back(key(p));
    }
    void add_table(const InstanceTable& t) {
        for (std::size_t r = 0; r < t.size(); ++r) add(RowPlace{t.image_index[r], t.category_index[r]});
    }
    // Sorts the keys; call once after the last add.
    void seal();
    bool contains(RowPlace p) const;

private:
    std::uint64_t key(RowPlace p) const {
        return (std::uint64_t{p.image} << 32) | (use_cats_ ? p.category : 0u);
    }
    bool use_cats_;
    std::vector<std::uint64_t> keys_;
};

}  // namespace brandor::eval
