#include "py/json/read_file.hpp"

#include <string>

namespace brandor::py {

json::FileBuffer read_file(PyObject* path) {
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(path));
    std::string name(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    try {
        return json::read_whole_file(name);
    } catch (const json::FileError& e) {
        // OSError(errno, strerror, filename) picks the matching subclass.
        Ref exc = Ref::steal(PyObject_CallFunction(PyExc_OSError, "isO", e.error_number(), e.what(), path));
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
        throw ErrorAlreadySet{};
    }
}

}  // namespace brandor::py
