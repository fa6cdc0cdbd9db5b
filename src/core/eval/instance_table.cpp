#include "core/eval/instance_table.hpp"

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
        case IouType::Boundary:
            // Mask stores are installed after rasterisation; a table of a
            // mask kind cannot be built before they exist.
            throw InternalError("no geometry store for mask kinds");
    }
    return t;
}

}  // namespace brandor::eval
