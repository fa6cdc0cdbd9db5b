#include "py/json_load.hpp"

#include <string>

#include "core/json/parser.hpp"
#include "py/json/build.hpp"
#include "py/json/read_file.hpp"
#include "py/kit/convert.hpp"
#include "py/kit/gil.hpp"

namespace brandor::py {

namespace {

PyObject* path_argument(const BoundArgs& args) {
    return args.convert(0, [](PyObject* o) {
        to_text(o);  // a str, or the converter's TypeError
        return o;
    });
}

Ref load_json_impl(PyObject*, const BoundArgs& args) {
    PyObject* path = path_argument(args);
    const json::FileBuffer file = read_file(path);
    return load_json_text(file.view());
}

// Runs one step of the parse with the interpreter lock released; a parse
// error becomes ValueError "<path>: <prefix><parser error>".
template <class Step>
void parse_step(const std::string& path, const char* prefix, Step&& step) {
    try {
        without_gil(step);
    } catch (const json::ParseError& e) {
        throw value_error(path + ": " + prefix + e.message());
    }
}

Ref parse_json_only_impl(PyObject*, const BoundArgs& args) {
    PyObject* path = path_argument(args);
    const std::string name(to_text(path));
    const json::FileBuffer file = read_file(path);
    json::Parser parser(file.view());
    parse_step(name, "", [&] { parser.skip_value(); });
    parse_step(name, "trailing data: ", [&] { parser.finish(); });
    return Ref::steal(PyLong_FromSize_t(file.size));
}

Ref read_file_only_impl(PyObject*, const BoundArgs& args) {
    const json::FileBuffer file = read_file(path_argument(args));
    return Ref::steal(PyLong_FromSize_t(file.size));
}

}  // namespace

const Callable load_json_fn{
    "load_json",
    "load_json(path)\n--\n\n"
    "Parse a JSON file into Python objects.\n\n"
    "Equivalent to `json.load(open(path))` for the subset JSON actually\n"
    "contains; duplicate object keys keep the last value, as CPython does.",
    load_json_impl};

const Callable parse_json_only_fn{
    "parse_json_only",
    "parse_json_only(path)\n--\n\n"
    "Read and parse the file, building nothing. Benchmarking only.\n\n"
    "Splits the loader's cost in two. Everything this does \xe2\x80\x94 the read, the\n"
    "tokenizer, the number and string parsing \xe2\x80\x94 `load_json` also does; what it\n"
    "skips is allocating the `PyDict`/`PyList`/`PyFloat` objects and hashing the\n"
    "keys. The difference between the two says which half to attack, and the\n"
    "answer decided against a SIMD tokenizer: see docs/design.md.",
    parse_json_only_impl};

const Callable read_file_only_fn{
    "read_file_only",
    "read_file_only(path)\n--\n\n"
    "Read the file and nothing else. Benchmarking only: the floor both of the\n"
    "above sit on, so neither gets credited with the disk.",
    read_file_only_impl};

}  // namespace brandor::py
