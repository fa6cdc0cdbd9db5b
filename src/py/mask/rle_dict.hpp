// The Python form of a run-length mask, {'size': [h, w], 'counts': bytes},
// and the reader that accepts it (with str or a list of ints as counts too).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/rle/rle.hpp"
#include "py/kit/ref.hpp"

namespace brandor::py::mask {

// The interned 'size' and 'counts' keys (created once per process).
PyObject* size_key();
PyObject* counts_key();

// {'size': [h, w], 'counts': <counts text>} as a new dict. `text` is scratch
// space for the encoded counts, reused across calls.
Ref rle_to_dict(const rle::Rle& r, std::string& text);

// The 'counts' of an RLE dict, as the mask API and the evaluator both read it:
// the text of bytes or of a str (its UTF-8), or any other value for the
// caller to convert. `value` keeps the text's memory alive.
struct RleCounts {
    Ref value;
    bool is_text = false;
    std::string_view text;
};

// The dict's counts; nothing when the key is missing.
std::optional<RleCounts> find_counts(PyObject* dict);

// An RLE dict read and checked, with every message of the reader below, but
// its counts text not yet decoded: the text stays valid while `counts` is held
// (bytes and str are immutable), so it can be decoded without the interpreter
// lock. Counts given as a list of ints are read into `runs`.
struct RleParts {
    uint32_t h = 0, w = 0;
    RleCounts counts;
};
RleParts read_rle_parts(PyObject* o, std::vector<uint32_t>& runs);

// Reads an RLE dict: bytes or str counts are decoded, a list of ints is taken
// as the run lengths themselves. Errors carry the fixed messages of the mask
// API; sizes are taken modulo 2^32.
rle::Rle rle_from_dict(PyObject* o);

// The same into `into`, whose run buffer is reused (its capacity is kept).
void read_rle_dict(PyObject* o, rle::Rle& into);

// 'size' read as a sequence of unsigned 64-bit integers (the converter's
// errors propagate unchanged): how many entries it has and the first two.
struct SizeEntries {
    std::size_t count = 0;
    uint64_t h = 0, w = 0;
};
SizeEntries read_size(PyObject* size);

}  // namespace brandor::py::mask
