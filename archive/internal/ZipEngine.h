#pragma once
// The zip component's engine: deflate in worker threads, libzip for the container and the encryption.
#include "archive/IZipControl.h"
#include "archive/ZipLimits.h"

#include <algorithm>
#include <atomic>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>

namespace archive::engine {

namespace fs = std::filesystem;

struct SourceFile {
    fs::path path;
    std::string entryName; // UTF-8, "/" between folders
    std::uint64_t size = 0;
    std::time_t mtime = 0;
};

// name (UTF-8), size, compressed size, bytes processed, completed.
using StatusSink = std::function<void(const std::string& name, std::uint64_t size,
                                      std::uint64_t compressedSize, std::uint64_t processed, bool completed)>;

// Bytes processed and bytes to process of the whole call, raised often on the calling thread, and at least
// every tenth of a second while the call waits on its workers.
using ProgressSink = std::function<void(std::uint64_t done, std::uint64_t total)>;

struct WriteOptions {
    ZipLimits limits;
    int level = 6;
    std::string password; // empty: no encryption
    const std::atomic<bool>* abort = nullptr;
    StatusSink status;
    ProgressSink progress;
};

// Writes a new zip file into the open, empty file zipFd and flushes it to the disk; returns a result code.
std::int32_t writeZip(int zipFd, const std::vector<SourceFile>& files, const WriteOptions& options);

struct ReadOptions {
    ZipLimits limits;
    std::string password;
    const std::atomic<bool>* abort = nullptr;
    StatusSink status;
    ProgressSink progress;
    std::optional<fs::path> targetFolder; // none: only read and check every entry
    bool preservePaths = false;
    bool skipIfExisting = false;
    bool skipIfNotExisting = false;
    bool skipIfOlderDate = false;
};

std::int32_t readZip(const fs::path& zipPath, const ReadOptions& options);

std::int32_t listZip(const fs::path& zipPath, std::vector<ZipEntryInfo>& entries);

inline bool cancelled(const std::atomic<bool>* abort) {
    return abort && abort->load();
}

// The workers an operation runs: as set, or one per core, at most 8.
inline unsigned workerCount(const ZipLimits& limits) {
    return limits.workers ? limits.workers : std::max(1u, std::min(8u, std::thread::hardware_concurrency()));
}

// True when going from `before` to `after` bytes of `total` crosses a percent, so that progress events come
// at every percent and not at every block.
inline bool progressDue(std::uint64_t before, std::uint64_t after, std::uint64_t total) {
    return total == 0 || (before * 100 / total) != (after * 100 / total);
}

} // namespace archive::engine
