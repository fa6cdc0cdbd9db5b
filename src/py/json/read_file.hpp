// Reading a file named by a Python str into one buffer. A failure raises the
// OSError subclass that matches the system's error number (FileNotFoundError,
// IsADirectoryError, PermissionError, ...) with its text and the file name.
#pragma once

#include "core/json/file_buffer.hpp"
#include "py/kit/ref.hpp"

namespace brandor::py {

// `path` is a str; it is encoded with the file-system encoding to open it.
json::FileBuffer read_file(PyObject* path);

}  // namespace brandor::py
