#pragma once
// The program's own file I/O: every write, read, copy and rename of the files it makes goes through here, so
// that tests can make the device fail (after N bytes, on the Nth rename) and a stop request ends every copy.
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <utility>

namespace fsutil {

// An owned file descriptor.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd();
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes now and reports the error close(2) gives, 0 when none.
    int close();

  private:
    int fd_;
};

// An flock(2) lock held while the object lives.
class FileLock {
  public:
    FileLock() = default;
    // Opens the file or folder and takes the lock without waiting; an empty lock when someone else holds it
    // the other way. Throws std::system_error when the path cannot be opened.
    static FileLock tryLock(const std::filesystem::path& path, bool exclusive);
    explicit operator bool() const { return static_cast<bool>(fd_); }
    // Turns an exclusive lock into a shared one; false when another process took it meanwhile.
    bool share();

  private:
    explicit FileLock(Fd fd) : fd_(std::move(fd)) {}
    Fd fd_;
};

namespace io {

// What the device does wrong from now on; -1 is "never". Budgets count bytes across all threads.
struct Faults {
    std::int64_t writableBytes = -1; // then every write fails with writeError
    int writeError = ENOSPC;
    std::int64_t readableBytes = -1; // then every read fails with readError
    int readError = EIO;
    int failingRename = -1; // 0 for the next rename, 1 for the one after, ...
    int renameError = EIO;
    int killAtRename = -1;  // the process kills itself (SIGKILL) instead of doing that rename
    int copyRangeError = 0; // copy_file_range fails at once with this, as it does across file systems
};
void setFaults(const Faults& faults);
void clearFaults();

// Sets faults for a scope.
class ScopedFaults {
  public:
    explicit ScopedFaults(const Faults& faults) { setFaults(faults); }
    ~ScopedFaults() { clearFaults(); }
    ScopedFaults(const ScopedFaults&) = delete;
    ScopedFaults& operator=(const ScopedFaults&) = delete;
};

// After this (async-signal-safe) call every read, write and copy fails with ECANCELED: a signal handler's
// way of making a running operation stop and clean up.
void requestStop();
bool stopRequested();

// Creates a new file that must not exist yet, without following a link, readable by the owner only.
Fd createExclusive(const std::filesystem::path& file);
Fd openForReading(const std::filesystem::path& file);

// Return 0 or an errno value.
int writeAll(int fd, const void* data, size_t size);
int pwriteAll(int fd, const void* data, size_t size, off_t offset);
// Bytes read (0 at the end), or -errno.
ssize_t read(int fd, void* data, size_t size);
ssize_t pread(int fd, void* data, size_t size, off_t offset);
// Copies a whole file's bytes into an open one: copy_file_range, or plain reads and writes where the kernel
// cannot (another file system) or where `observe` must see every block on its way.
int copyAll(int in, int out, const std::function<void(const void*, size_t)>& observe = {});
int rename(const std::filesystem::path& from, const std::filesystem::path& to);

// Throwing forms, with the file named in the message.
void renameOrThrow(const std::filesystem::path& from, const std::filesystem::path& to);
[[noreturn]] void fail(int error, const std::string& what, const std::filesystem::path& file);

} // namespace io
} // namespace fsutil
