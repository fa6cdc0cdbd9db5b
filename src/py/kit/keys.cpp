#include "py/kit/keys.hpp"

#include "py/kit/ref.hpp"

namespace brandor::py {
namespace {

constexpr const char* kTexts[] = {
    "id", "image_id", "category_id", "score", "bbox", "area", "iscrowd", "num_keypoints", "keypoints",
    "segmentation", "counts",
    "size",
    "image_id", "category_id", "aRng", "maxDet", "dtIds", "gtIds", "dtScores", "dtMatches", "gtMatches",
    "gtIgnore", "dtIgnore",
};
static_assert(sizeof(kTexts) / sizeof(kTexts[0]) == static_cast<int>(Key::Count_));

}  // namespace

PyObject* key(Key k) {
    // Filled on first use with the interpreter lock held; never freed.
    static PyObject* interned[static_cast<int>(Key::Count_)] = {};
    PyObject*& slot = interned[static_cast<int>(k)];
    if (!slot) {
        slot = PyUnicode_InternFromString(kTexts[static_cast<int>(k)]);
        if (!slot) throw ErrorAlreadySet{};
    }
    return slot;
}

}  // namespace brandor::py
