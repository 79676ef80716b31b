#include "archive/internal/Posix.h"

#include "archive/IZipControl.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <new>

namespace archive::engine {

Buffer::Buffer(size_t capacity) : capacity_(std::max<size_t>(capacity, 1)) {
    void* memory = ::mmap(nullptr, capacity_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    if (capacity_ >= (2u << 20)) ::madvise(memory, capacity_, MADV_HUGEPAGE);
    bytes_ = static_cast<std::uint8_t*>(memory);
}

Buffer::~Buffer() {
    if (bytes_) ::munmap(bytes_, capacity_);
}

Buffer& Buffer::reuse(size_t wanted) {
    if (capacity_ < std::max<size_t>(wanted, 1)) *this = Buffer(wanted);
    size = 0;
    return *this;
}

std::int32_t readRange(int fd, std::uint64_t offset, size_t size, Buffer& out) {
    out.reuse(size);
    while (out.size < size) {
        const ssize_t n = fsutil::io::pread(fd, out.data() + out.size, size - out.size,
                                            static_cast<off_t>(offset + out.size));
        if (n < 0) return result::CannotReadFile;
        if (n == 0) break;
        out.size += static_cast<size_t>(n);
    }
    return result::Success;
}

std::int32_t readWholeFile(const fs::path& file, Buffer& out) {
    const Fd fd = fsutil::io::openForReading(file);
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0) return result::CannotReadFile;
    const auto size = static_cast<size_t>(info.st_size);
    if (const std::int32_t code = readRange(fd.get(), 0, size, out); code != result::Success) return code;
    return out.size == size ? result::Success : result::CannotReadFile; // the file shrank meanwhile
}

std::int32_t deviceFailure(int error) {
    if (error == ECANCELED) return result::Cancelled; // a stop was requested
    return error == ENOSPC || error == EDQUOT ? result::DiskFull : result::DeviceError;
}

std::int32_t writeFailure(int error) {
    return error == ENOSPC || error == EDQUOT || error == EIO || error == ECANCELED ? deviceFailure(error)
                                                                                    : result::CannotWriteFile;
}

std::int32_t PartFile::write(const std::uint8_t* data, size_t size) {
    const int error = fsutil::io::writeAll(fd_.get(), data, size);
    return error == 0 ? result::Success : writeFailure(error);
}

std::int32_t PartFile::finish(std::time_t mtime) {
    const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    ::futimens(fd_.get(), times);
    const int error = fd_.close();
    return error == 0 ? result::Success : writeFailure(error);
}

} // namespace archive::engine
