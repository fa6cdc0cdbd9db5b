#include "core/json/file_buffer.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace brandor::json {

FileError::FileError(int error_number, std::string path)
    : Error(ErrorKind::OS, std::strerror(error_number)), error_number_(error_number), path_(std::move(path)) {}

namespace {

// Closes the descriptor on every way out.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

// Reads up to `want` bytes at `dst`; returns the count, less only at end of file.
std::size_t read_fully(int fd, char* dst, std::size_t want, const std::string& path) {
    std::size_t got = 0;
    while (got < want) {
        const ssize_t n = ::read(fd, dst + got, want - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw FileError(errno, path);
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

// Large buffers ask for transparent huge pages: reading tens of megabytes into
// fresh memory otherwise spends much of its time faulting in 4 KiB pages. Only
// a hint; where the kernel declines, nothing changes.
void prefer_huge_pages(char* data, std::size_t size) {
    constexpr std::size_t kHuge = std::size_t{2} << 20;
    if (size < 2 * kHuge) return;
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(kHuge - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace

FileBuffer read_whole_file(const std::string& path) {
    Descriptor d{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (d.fd < 0) throw FileError(errno, path);
    struct stat st {};
    if (::fstat(d.fd, &st) != 0) throw FileError(errno, path);
    if (S_ISDIR(st.st_mode)) throw FileError(EISDIR, path);

    FileBuffer buf;
    std::size_t capacity = st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0;
    buf.data = std::make_unique_for_overwrite<char[]>(capacity);
    prefer_huge_pages(buf.data.get(), capacity);
    buf.size = read_fully(d.fd, buf.data.get(), capacity, path);
    if (buf.size < capacity) return buf;
    // The file may be longer than it said (growing, or a pseudo-file that
    // reports no size): keep reading until the end.
    for (;;) {
        char probe[4096];
        const std::size_t extra = read_fully(d.fd, probe, sizeof probe, path);
        if (extra == 0) return buf;
        const std::size_t grown = (buf.size + extra) * 2;
        auto bigger = std::make_unique_for_overwrite<char[]>(grown);
        if (buf.size) std::memcpy(bigger.get(), buf.data.get(), buf.size);
        std::memcpy(bigger.get() + buf.size, probe, extra);
        buf.data = std::move(bigger);
        buf.size += extra;
        buf.size += read_fully(d.fd, buf.data.get() + buf.size, grown - buf.size, path);
        if (buf.size < grown) return buf;
    }
}

}  // namespace brandor::json
