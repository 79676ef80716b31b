#pragma once
// POSIX resources of the zip engine: memory for whole files, and the files it reads and writes.
#include "fsutil/Io.h"

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <utility>

namespace archive::engine {

namespace fs = std::filesystem;
using fsutil::Fd;

// A byte buffer; large ones are backed by huge pages, which saves most of the page faults of touching fresh
// memory. Throws std::bad_alloc.
class Buffer {
  public:
    Buffer() = default;
    explicit Buffer(size_t capacity);
    ~Buffer();
    Buffer(Buffer&& other) noexcept
        : bytes_(std::exchange(other.bytes_, nullptr)), capacity_(other.capacity_), size(other.size) {}
    Buffer& operator=(Buffer&& other) noexcept {
        std::swap(bytes_, other.bytes_);
        std::swap(capacity_, other.capacity_);
        std::swap(size, other.size);
        return *this;
    }
    std::uint8_t* data() const { return bytes_; }
    size_t capacity() const { return capacity_; }
    // This buffer emptied, grown first when it holds fewer than `wanted` bytes.
    Buffer& reuse(size_t wanted);

  private:
    std::uint8_t* bytes_ = nullptr;
    size_t capacity_ = 0;

  public:
    size_t size = 0;
};

// Reads `size` bytes from `offset` of a file, or to its end when shorter; a result code.
std::int32_t readRange(int fd, std::uint64_t offset, size_t size, Buffer& out);
// Reads a whole file into a buffer through the program's I/O, so that a read error is a result and not a
// signal, as it would be through a memory map.
std::int32_t readWholeFile(const fs::path& file, Buffer& out);

// What a failing device means for the operation.
std::int32_t deviceFailure(int error);
// The same for a write into the folder being extracted into.
std::int32_t writeFailure(int error);

// An extracted file, written into the extraction's staging folder under a name of its own.
class PartFile {
  public:
    explicit PartFile(const fs::path& staged) : fd_(fsutil::io::createExclusive(staged)) {}
    bool ok() const { return static_cast<bool>(fd_); }
    std::int32_t write(const std::uint8_t* data, size_t size);
    // The file is whole: it gets the entry's time and waits to be put in place.
    std::int32_t finish(std::time_t mtime);

  private:
    Fd fd_;
};

} // namespace archive::engine
