#include "fsutil/Io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <vector>

namespace fsutil {

Fd::~Fd() {
    if (fd_ >= 0) ::close(fd_);
}

int Fd::close() {
    if (fd_ < 0) return 0;
    const int rc = ::close(std::exchange(fd_, -1));
    return rc == 0 ? 0 : errno;
}

FileLock FileLock::tryLock(const std::filesystem::path& path, bool exclusive) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) throw std::system_error(errno, std::generic_category(), "cannot open " + path.string());
    if (::flock(fd.get(), (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) return FileLock();
    return FileLock(std::move(fd));
}

bool FileLock::share() {
    return fd_ && ::flock(fd_.get(), LOCK_SH | LOCK_NB) == 0;
}

namespace io {
namespace {

struct State {
    std::atomic<std::int64_t> writable{-1};
    std::atomic<int> writeError{ENOSPC};
    std::atomic<std::int64_t> readable{-1};
    std::atomic<int> readError{EIO};
    std::atomic<int> failingRename{-1};
    std::atomic<int> renameError{EIO};
    std::atomic<int> killAtRename{-1};
    std::atomic<int> copyRangeError{0};
    std::atomic<bool> stop{false};
};
State& state() {
    static State s;
    return s;
}

// How many of `wanted` bytes the budget still allows; 0 once it is spent. A budget of -1 has no end.
size_t allowance(std::atomic<std::int64_t>& budget, size_t wanted) {
    std::int64_t left = budget.load();
    for (;;) {
        if (left < 0) return wanted;
        const auto granted = static_cast<std::int64_t>(std::min<std::uint64_t>(wanted, left));
        if (budget.compare_exchange_weak(left, left - granted)) return static_cast<size_t>(granted);
    }
}

// A count-down shared by the rename faults: true when this rename is the chosen one.
bool countDown(std::atomic<int>& counter) {
    int left = counter.load();
    while (left >= 0)
        if (counter.compare_exchange_weak(left, left - 1)) return left == 0;
    return false;
}

} // namespace

void setFaults(const Faults& faults) {
    State& s = state();
    s.writable = faults.writableBytes;
    s.writeError = faults.writeError;
    s.readable = faults.readableBytes;
    s.readError = faults.readError;
    s.failingRename = faults.failingRename;
    s.renameError = faults.renameError;
    s.killAtRename = faults.killAtRename;
    s.copyRangeError = faults.copyRangeError;
}

void clearFaults() {
    setFaults(Faults{});
}

void requestStop() {
    state().stop.store(true);
}
bool stopRequested() {
    return state().stop.load();
}

Fd createExclusive(const std::filesystem::path& file) {
    return Fd(::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
}

Fd openForReading(const std::filesystem::path& file) {
    return Fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
}

namespace {
// The bytes a read or write of `size` may move now, or -errno when the device fails it.
ssize_t granted(std::atomic<std::int64_t>& budget, const std::atomic<int>& error, size_t size) {
    if (state().stop) return -ECANCELED;
    const size_t allowed = allowance(budget, size);
    if (allowed == 0 && size > 0) return -error.load();
    return static_cast<ssize_t>(allowed);
}
ssize_t writable(size_t size) {
    return granted(state().writable, state().writeError, size);
}
ssize_t readable(size_t size) {
    return granted(state().readable, state().readError, size);
}
} // namespace

int pwriteAll(int fd, const void* data, size_t size, off_t offset) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t allowed = writable(size);
        if (allowed < 0) return static_cast<int>(-allowed);
        const ssize_t n = offset < 0 ? ::write(fd, bytes, static_cast<size_t>(allowed))
                                     : ::pwrite(fd, bytes, static_cast<size_t>(allowed), offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        bytes += n;
        size -= static_cast<size_t>(n);
        if (offset >= 0) offset += n;
    }
    return 0;
}

int writeAll(int fd, const void* data, size_t size) {
    return pwriteAll(fd, data, size, -1);
}

ssize_t pread(int fd, void* data, size_t size, off_t offset) {
    const ssize_t allowed = readable(size);
    if (allowed < 0) return allowed;
    for (;;) {
        const ssize_t n = offset < 0 ? ::read(fd, data, static_cast<size_t>(allowed))
                                     : ::pread(fd, data, static_cast<size_t>(allowed), offset);
        if (n >= 0) return n;
        if (errno != EINTR) return -errno;
    }
}

ssize_t read(int fd, void* data, size_t size) {
    return pread(fd, data, size, -1);
}

int copyAll(int in, int out, const std::function<void(const void*, size_t)>& observe) {
    constexpr size_t kStep = 8u << 20;
    State& s = state();
    bool kernelCopy = s.copyRangeError == 0 && !observe;
    for (;;) {
        if (kernelCopy) {
            const ssize_t allowedRead = readable(kStep);
            if (allowedRead < 0) return static_cast<int>(-allowedRead);
            const ssize_t allowed = writable(static_cast<size_t>(allowedRead));
            if (allowed < 0) return static_cast<int>(-allowed);
            const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(allowed), 0);
            if (n > 0) continue;
            if (n == 0) return 0;
            if (errno == EINTR) continue;
            // Another file system, or one that cannot: the same bytes by plain reads and writes.
            if (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL) return errno;
            kernelCopy = false;
        }
        thread_local std::vector<char> buffer(1 << 20);
        const ssize_t n = io::read(in, buffer.data(), buffer.size());
        if (n < 0) return static_cast<int>(-n);
        if (n == 0) return 0;
        if (observe) observe(buffer.data(), static_cast<size_t>(n));
        if (const int error = writeAll(out, buffer.data(), static_cast<size_t>(n)); error != 0) return error;
    }
}

int rename(const std::filesystem::path& from, const std::filesystem::path& to) {
    State& s = state();
    if (countDown(s.killAtRename)) ::raise(SIGKILL);
    if (countDown(s.failingRename)) return s.renameError;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

void fail(int error, const std::string& what, const std::filesystem::path& file) {
    throw std::system_error(error, std::generic_category(), what + " " + file.string());
}

void renameOrThrow(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (const int error = io::rename(from, to); error != 0)
        fail(error, "cannot rename " + from.string() + " to", to);
}

} // namespace io
} // namespace fsutil
