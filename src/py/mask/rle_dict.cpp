#include "py/mask/rle_dict.hpp"

#include <string_view>

#include "core/error.hpp"
#include "core/rle/counts_text.hpp"
#include "py/kit/convert.hpp"
#include "py/kit/keys.hpp"

namespace brandor::py::mask {

namespace {

// The dict's value for `key`, borrowed, or null when absent.
PyObject* lookup(PyObject* dict, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(dict, key);
    if (!v && PyErr_Occurred()) throw ErrorAlreadySet{};
    return v;
}

uint64_t exact_int_u64(PyObject* item) {
    const unsigned long long v = PyLong_AsUnsignedLongLong(item);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw ErrorAlreadySet{};
    return v;
}

// Counts given as a list of ints: each in [0, 2^32). Returns false (with no
// Python error left set) when they are not.
bool read_counts_list(PyObject* o, std::vector<uint32_t>& out) {
    try {
        out = to_u32_vector(o);
        return true;
    } catch (const Error&) {
    } catch (const ErrorAlreadySet&) {
        // Only a conversion failure is replaced by the caller's message.
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw;
        PyErr_Clear();
    }
    return false;
}

}  // namespace

PyObject* size_key() { return key(Key::Size); }

PyObject* counts_key() { return key(Key::Counts); }

SizeEntries read_size(PyObject* size) {
    if (PyList_CheckExact(size) && PyList_GET_SIZE(size) == 2 &&
        PyLong_CheckExact(PyList_GET_ITEM(size, 0)) && PyLong_CheckExact(PyList_GET_ITEM(size, 1))) {
        // The common [h, w] of two plain ints: no Python code can run while
        // reading them, so the borrowed items stay valid.
        const uint64_t h = exact_int_u64(PyList_GET_ITEM(size, 0));
        const uint64_t w = exact_int_u64(PyList_GET_ITEM(size, 1));
        return {2, h, w};
    }
    const std::vector<uint64_t> all = to_u64_vector(size);
    return {all.size(), all.size() > 0 ? all[0] : 0, all.size() > 1 ? all[1] : 0};
}

Ref rle_to_dict(const rle::Rle& r, std::string& text) {
    Ref dict = Ref::steal(PyDict_New());
    Ref h = Ref::steal(PyLong_FromUnsignedLong(r.h));
    Ref w = Ref::steal(PyLong_FromUnsignedLong(r.w));
    Ref size = Ref::steal(PyList_New(2));
    PyList_SET_ITEM(size.get(), 0, h.release());
    PyList_SET_ITEM(size.get(), 1, w.release());
    check(PyDict_SetItem(dict.get(), size_key(), size.get()));
    text.clear();
    rle::encode_counts(r.counts, text);
    Ref counts = Ref::steal(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    check(PyDict_SetItem(dict.get(), counts_key(), counts.get()));
    return dict;
}

std::optional<RleCounts> find_counts(PyObject* dict) {
    PyObject* counts = lookup(dict, counts_key());
    if (!counts) return std::nullopt;
    RleCounts out{Ref::borrow(counts)};
    if (PyBytes_Check(counts)) {
        out.is_text = true;
        out.text = std::string_view(PyBytes_AS_STRING(counts), static_cast<std::size_t>(PyBytes_GET_SIZE(counts)));
    } else if (PyUnicode_Check(counts)) {
        Py_ssize_t len = 0;
        const char* s = PyUnicode_AsUTF8AndSize(counts, &len);
        if (!s) throw ErrorAlreadySet{};
        out.is_text = true;
        out.text = std::string_view(s, static_cast<std::size_t>(len));
    }
    return out;
}

RleParts read_rle_parts(PyObject* o, std::vector<uint32_t>& runs) {
    if (!PyDict_Check(o)) throw type_error("expected an RLE dict with 'size' and 'counts'");
    PyObject* size = lookup(o, size_key());
    if (!size) throw value_error("RLE dict is missing 'size'");
    Ref size_ref = Ref::borrow(size);  // the dict may drop it while converting
    const SizeEntries hw = read_size(size);
    if (hw.count != 2) throw value_error("RLE 'size' must be [h, w]");
    std::optional<RleCounts> counts = find_counts(o);
    if (!counts) throw value_error("RLE dict is missing 'counts'");
    if (!counts->is_text && !read_counts_list(counts->value.get(), runs))
        throw type_error("RLE 'counts' must be bytes, str, or a list of ints");
    // Sizes are taken modulo 2^32.
    return {static_cast<uint32_t>(hw.h), static_cast<uint32_t>(hw.w), std::move(*counts)};
}

void read_rle_dict(PyObject* o, rle::Rle& r) {
    const RleParts parts = read_rle_parts(o, r.counts);
    r.h = parts.h;
    r.w = parts.w;
    if (parts.counts.is_text) rle::decode_counts(parts.counts.text, false, r.counts);
}

rle::Rle rle_from_dict(PyObject* o) {
    rle::Rle r;
    read_rle_dict(o, r);
    r.counts.shrink_to_fit();
    return r;
}

}  // namespace brandor::py::mask
