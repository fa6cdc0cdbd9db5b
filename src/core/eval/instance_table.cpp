#include "core/eval/instance_table.hpp"

#include <string_view>

#include "core/error.hpp"
#include "core/rle/counts_text.hpp"

#include "core/error.hpp"

namespace brandor::eval {

InstanceTable make_instance_table(std::size_t rows, IouType kind) {
    InstanceTable t;
    t.ids.reserve(rows);
    t.scores.reserve(rows);
    t.areas.reserve(rows);
    t.iscrowd.reserve(rows);
    t.ignore.reserve(rows);
    t.non_exhaustive.reserve(rows);
    t.image_index.reserve(rows);
    t.category_index.reserve(rows);
    switch (kind) {
        case IouType::Bbox: {
            BoxStore boxes;
            boxes.xywh.reserve(rows * 4);
            t.geometry = std::move(boxes);
            break;
        }
        case IouType::Keypoints:
            t.geometry = KeypointStore{};
            break;
        case IouType::Segm:
            t.geometry = MaskStore{};  // filled by install_mask_texts after rasterisation
            break;
        case IouType::Boundary:
            t.geometry = MaskBoundaryStore{};
            break;
    }
    return t;
}

rle::Rle MaskStore::mask(std::size_t row) const {
    const MaskText& r = checked_at(rows, row);
    if (!text || r.offset + r.length > text->size()) throw InternalError("mask text outside the text buffer");
    return rle::decode_rle(std::string_view(*text).substr(r.offset, r.length), r.h, r.w);
}

void install_mask_texts(InstanceTable& table, std::shared_ptr<const std::string> text,
                        std::vector<MaskText>&& rows) {
    if (auto* m = std::get_if<MaskStore>(&table.geometry)) {
        if (rows.size() != table.size()) throw InternalError("mask count differs from the table's rows");
        m->text = std::move(text);
        m->rows = std::move(rows);
    }
}

void install_masks(InstanceTable& table, std::vector<rle::Rle>&& masks) {
    if (auto* mb = std::get_if<MaskBoundaryStore>(&table.geometry)) {
        if (masks.size() != table.size()) throw InternalError("mask count differs from the table's rows");
        mb->masks = std::move(masks);
    }
    // Tables of other kinds have no masks; what they were given is released.
}

}  // namespace brandor::eval
