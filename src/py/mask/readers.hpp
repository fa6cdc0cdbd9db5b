// Readers for the argument forms the mask functions share: a list of RLE
// dicts, and "boxes or RLEs" (an Nx4 float64 array, a list of four-number
// sequences, or a list of RLE dicts).
#pragma once

#include <vector>

#include "core/rle/rle.hpp"
#include "py/kit/ref.hpp"
#include "py/mask/rle_dict.hpp"

namespace brandor::py::mask {

// The items of any iterable (the interpreter's TypeError when it is not one).
std::vector<Ref> collect_items(PyObject* iterable);

// Every item read as an RLE dict, in order; the first bad item stops the call.
std::vector<rle::Rle> read_rle_list(PyObject* rle_objs);

// The same reading, one mask at a time into one reused Rle: `use(mask)` is
// called for each item in order, so no run array is allocated per item.
template <class Use>
void for_each_rle(const std::vector<Ref>& items, Use&& use) {
    rle::Rle scratch;
    for (const Ref& item : items) {
        read_rle_dict(item.get(), scratch);
        use(static_cast<const rle::Rle&>(scratch));
    }
}

struct BoxesOrRles {
    bool is_rles = false;
    std::vector<rle::Box> boxes;
    std::vector<rle::Rle> rles;
    std::size_t size() const noexcept { return is_rles ? rles.size() : boxes.size(); }
};

BoxesOrRles read_boxes_or_rles(PyObject* obj);
// The same over items already collected from an iterable.
BoxesOrRles read_boxes_or_rles(const std::vector<Ref>& items);

// A NumPy float64 array in native byte order.
bool is_float64_array(PyObject* obj);

}  // namespace brandor::py::mask
