// Reading a whole file into one buffer sized from the file's length, for
// parsers that work from memory. A failure carries the operating system's
// error number and text.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "core/error.hpp"

namespace brandor::json {

struct FileBuffer {
    std::unique_ptr<char[]> data;
    std::size_t size = 0;
    std::string_view view() const { return {data.get(), size}; }
};

// An OS-kind error whose message is the system's text for `error_number`.
class FileError : public Error {
public:
    FileError(int error_number, std::string path);
    int error_number() const noexcept { return error_number_; }
    const std::string& path() const noexcept { return path_; }

private:
    int error_number_;
    std::string path_;
};

// Throws FileError when the file cannot be opened or read (a directory
// gives EISDIR).
FileBuffer read_whole_file(const std::string& path);

}  // namespace brandor::json
