#include "archive/internal/ZipEngine.h"

#include "fsutil/FileSetSwap.h"
#include "fsutil/Io.h"
#include "fsutil/Paths.h"
#include "fsutil/Utf.h"

#include <libdeflate.h>
#include <zip.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <utility>

namespace archive::engine {
namespace {

constexpr size_t kChunk = 1 << 20;

unsigned workerCount(const ZipLimits& limits) {
    return limits.workers ? limits.workers : std::max(1u, std::min(8u, std::thread::hardware_concurrency()));
}

bool cancelled(const std::atomic<bool>* abort) {
    return abort && abort->load();
}

using fsutil::Fd;

// A byte buffer for whole files; large ones are backed by huge pages, which saves most of the page faults of
// touching fresh memory.
class Buffer {
  public:
    Buffer() = default;
    explicit Buffer(size_t capacity) : capacity_(std::max<size_t>(capacity, 1)) {
        void* memory = ::mmap(nullptr, capacity_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) throw std::bad_alloc();
        if (capacity_ >= (2u << 20)) ::madvise(memory, capacity_, MADV_HUGEPAGE);
        bytes_ = static_cast<std::uint8_t*>(memory);
    }
    ~Buffer() {
        if (bytes_) ::munmap(bytes_, capacity_);
    }
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

  private:
    std::uint8_t* bytes_ = nullptr;
    size_t capacity_ = 0;

  public:
    size_t size = 0;
};

// Reads a whole file into a buffer through the program's I/O, so a read error is a result and not a
// signal, as it would be through a memory map.
std::int32_t readWholeFile(const fs::path& file, Buffer& out) {
    const Fd fd = fsutil::io::openForReading(file);
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0) return result::CannotReadFile;
    out = Buffer(static_cast<size_t>(info.st_size));
    while (out.size < static_cast<size_t>(info.st_size)) {
        const ssize_t n = fsutil::io::pread(fd.get(), out.data() + out.size,
                                            static_cast<size_t>(info.st_size) - out.size,
                                            static_cast<off_t>(out.size));
        if (n <= 0) return result::CannotReadFile; // an error, or the file shrank meanwhile
        out.size += static_cast<size_t>(n);
    }
    return result::Success;
}

struct CompressorDeleter {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};
struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// ---------------------------------------------------------------- writing

struct Compressed {
    std::int32_t error = result::Success;
    bool stored = false; // data is the file itself
    Buffer input;
    Buffer deflated;
    std::uint32_t crc = 0;
    std::uint64_t size = 0;

    const std::uint8_t* data() const { return stored ? input.data() : deflated.data(); }
    std::uint64_t dataSize() const { return stored ? input.size : deflated.size; }
};

// Deflates the files in entry order, a few entries ahead of the writer that consumes them.
class CompressionPool {
  public:
    CompressionPool(const std::vector<SourceFile>& files, int level, const ZipLimits& limits,
                    const std::atomic<bool>* abort)
        : files_(files), level_(level), limits_(limits), workerCount_(workerCount(limits)), abort_(abort),
          results_(files.size()) {
        for (unsigned i = 0; i < workerCount_; ++i)
            workers_.emplace_back([this] { work(); });
    }
    ~CompressionPool() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        for (auto& worker : workers_)
            worker.join();
    }

    bool isStreamed(const SourceFile& file) const { return file.size > limits_.wholeBufferLimit; }

    // Waits for an entry's bytes, calling tick now and then meanwhile.
    Compressed& wait(size_t index, const std::function<void()>& tick) {
        std::unique_lock lock(mutex_);
        while (!changed_.wait_for(lock, std::chrono::milliseconds(100),
                                  [&] { return results_[index].has_value(); })) {
            lock.unlock();
            tick();
            lock.lock();
        }
        return *results_[index];
    }

    // The writer is done with this entry and all before it.
    void release(size_t index) {
        {
            std::lock_guard lock(mutex_);
            if (results_[index]) inFlight_ -= files_[index].size;
            results_[index].reset();
            released_ = std::max(released_, index + 1);
        }
        changed_.notify_all();
    }

  private:
    void work() {
        std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor;
        for (;;) {
            size_t index;
            {
                std::unique_lock lock(mutex_);
                while (next_ < files_.size() && isStreamed(files_[next_]))
                    ++next_;
                changed_.wait(lock, [&] {
                    return stopping_ || next_ >= files_.size() ||
                           (next_ < released_ + 2 * workerCount_ + 2 &&
                            (inFlight_ == 0 || inFlight_ + files_[next_].size <= limits_.inFlightBudget));
                });
                if (stopping_ || next_ >= files_.size()) return;
                index = next_++;
                inFlight_ += files_[index].size;
            }
            Compressed done;
            // A failure inside a worker becomes the entry's result; it must never end the program.
            try {
                if (!cancelled(abort_)) {
                    if (!compressor && level_ > 0) compressor.reset(libdeflate_alloc_compressor(level_));
                    if (level_ > 0 && !compressor) throw std::bad_alloc();
                    done = compress(files_[index], compressor.get());
                }
            } catch (const std::bad_alloc&) {
                done = Compressed{};
                done.error = result::OutOfMemory;
            } catch (...) {
                done = Compressed{};
                done.error = result::CannotReadFile;
            }
            {
                std::lock_guard lock(mutex_);
                results_[index] = std::move(done);
            }
            changed_.notify_all();
        }
    }

    static Compressed compress(const SourceFile& file, libdeflate_compressor* compressor) {
        Compressed out;
        out.error = readWholeFile(file.path, out.input);
        if (out.error != result::Success) return out;
        out.size = out.input.size;
        out.crc = static_cast<std::uint32_t>(libdeflate_crc32(0, out.input.data(), out.input.size));
        out.stored = true;
        if (!compressor || out.size == 0) return out;
        const size_t bound = libdeflate_deflate_compress_bound(compressor, out.input.size);
        out.deflated = Buffer(bound);
        out.deflated.size = libdeflate_deflate_compress(compressor, out.input.data(), out.input.size,
                                                        out.deflated.data(), bound);
        // Data that does not shrink is stored as it is.
        if (out.deflated.size == 0 || out.deflated.size >= out.size) {
            out.deflated = {};
            return out;
        }
        out.stored = false;
        out.input = Buffer();
        return out;
    }

    const std::vector<SourceFile>& files_;
    const int level_;
    const ZipLimits limits_;
    const unsigned workerCount_; // fixed before the first worker starts, as the workers read it
    const std::atomic<bool>* abort_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::optional<Compressed>> results_;
    size_t next_ = 0;
    size_t released_ = 0;
    std::uint64_t inFlight_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

class Writer;

// One entry's data as libzip reads it: already deflated bytes, or a large file streamed for libzip to
// deflate.
struct EntrySource {
    Writer* writer = nullptr;
    size_t index = 0;
    Compressed* ready = nullptr;
    Fd streamed;
    std::uint64_t delivered = 0; // bytes handed to libzip
    bool completed = false;
    std::optional<zip_stat_t> stat; // kept, as libzip asks again after the data has been read
    zip_error_t error{};
};

class Writer {
  public:
    Writer(const std::vector<SourceFile>& files, const WriteOptions& options)
        : files_(files), options_(options), pool_(files, options.level, options.limits, options.abort) {
        for (const auto& file : files)
            total_ += file.size;
    }

    std::int32_t failure() const { return failure_; }
    void fail(std::int32_t code) {
        if (failure_ == result::Success) failure_ = code;
    }

    static zip_int64_t callback(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command) {
        if (command == ZIP_SOURCE_FREE) return 0; // the writer owns the state
        auto& source = *static_cast<EntrySource*>(state);
        return source.writer->handle(source, data, length, command);
    }

  private:
    zip_int64_t refuse(EntrySource& source, int zipError, std::int32_t code) {
        fail(code);
        zip_error_set(&source.error, zipError, 0);
        return -1;
    }

    void progress(std::uint64_t done) {
        if (options_.progress) options_.progress(done, total_);
    }

    void status(EntrySource& source, std::uint64_t processed, bool completed) {
        const SourceFile& file = files_[source.index];
        const std::uint64_t compressed =
            source.stat && (source.stat->valid & ZIP_STAT_COMP_SIZE) ? source.stat->comp_size : 0;
        if (options_.status) options_.status(file.entryName, file.size, compressed, processed, completed);
    }

    zip_int64_t handle(EntrySource& source, void* data, zip_uint64_t length, zip_source_cmd_t command) {
        const SourceFile& file = files_[source.index];
        switch (command) {
        case ZIP_SOURCE_SUPPORTS:
            return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                                  ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
        case ZIP_SOURCE_STAT: {
            auto* st = static_cast<zip_stat_t*>(data);
            if (source.stat) {
                *st = *source.stat;
                return sizeof(*st);
            }
            zip_stat_init(st);
            st->valid = ZIP_STAT_SIZE | ZIP_STAT_MTIME | ZIP_STAT_ENCRYPTION_METHOD | ZIP_STAT_COMP_METHOD;
            st->mtime = file.mtime;
            st->encryption_method = ZIP_EM_NONE;
            st->comp_method = ZIP_CM_STORE;
            if (pool_.isStreamed(file)) {
                st->size = file.size;
                source.stat = *st;
                return sizeof(*st);
            }
            if (!source.ready) source.ready = &pool_.wait(source.index, [this] { progress(finished_); });
            if (source.ready->error != result::Success)
                return refuse(source, ZIP_ER_READ, source.ready->error);
            st->valid |= ZIP_STAT_COMP_SIZE | ZIP_STAT_CRC;
            st->size = source.ready->size;
            st->comp_size = source.ready->dataSize();
            st->crc = source.ready->crc;
            st->comp_method = source.ready->stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE;
            source.stat = *st;
            return sizeof(*st);
        }
        case ZIP_SOURCE_OPEN:
            if (cancelled(options_.abort)) return refuse(source, ZIP_ER_CANCELLED, result::Cancelled);
            if (pool_.isStreamed(file)) {
                source.streamed = fsutil::io::openForReading(file.path);
                if (source.streamed.get() < 0) return refuse(source, ZIP_ER_OPEN, result::CannotReadFile);
            }
            source.delivered = 0;
            status(source, 0, false);
            return 0;
        case ZIP_SOURCE_READ: {
            if (cancelled(options_.abort)) return refuse(source, ZIP_ER_CANCELLED, result::Cancelled);
            // The bytes of the file that the first bytes handed to libzip stand for.
            const auto plainBytes = [&](std::uint64_t delivered) {
                return source.ready ? delivered * source.ready->size /
                                          std::max<std::uint64_t>(source.ready->dataSize(), 1)
                                    : delivered;
            };
            zip_int64_t count;
            if (source.ready) {
                const std::uint64_t left = source.ready->dataSize() - source.delivered;
                count = static_cast<zip_int64_t>(std::min<std::uint64_t>(left, length));
                if (count > 0)
                    std::memcpy(data, source.ready->data() + source.delivered, static_cast<size_t>(count));
            } else {
                count = fsutil::io::read(source.streamed.get(), data, length);
                if (count < 0) return refuse(source, ZIP_ER_READ, result::CannotReadFile);
            }
            const std::uint64_t before = plainBytes(source.delivered);
            source.delivered += static_cast<std::uint64_t>(count);
            const std::uint64_t processed = plainBytes(source.delivered);
            if (count == 0 && !source.completed) {
                source.completed = true;
                finished_ += file.size;
                status(source, file.size, true);
                progress(finished_);
            } else if (count > 0 && processed < file.size && progressDue(before, processed, file.size)) {
                status(source, processed, false);
                progress(finished_ + processed);
            }
            return count;
        }
        case ZIP_SOURCE_CLOSE:
            source.streamed = Fd();
            if (source.ready) {
                source.ready = nullptr;
                pool_.release(source.index);
            }
            return 0;
        case ZIP_SOURCE_ERROR:
            return zip_error_to_data(&source.error, data, length);
        default:
            zip_error_set(&source.error, ZIP_ER_OPNOTSUPP, 0);
            return -1;
        }
    }

    const std::vector<SourceFile>& files_;
    const WriteOptions& options_;
    CompressionPool pool_;
    std::int32_t failure_ = result::Success;
    std::uint64_t total_ = 0;
    std::uint64_t finished_ = 0; // bytes of the entries already written
};

// What a failing device means for the operation.
std::int32_t deviceFailure(int error) {
    if (error == ECANCELED) return result::Cancelled; // a stop was requested
    return error == ENOSPC || error == EDQUOT ? result::DiskFull : result::DeviceError;
}

std::int32_t codeForZipError(const zip_error_t* error, std::int32_t fallback) {
    const int system = zip_error_code_system(error);
    if (zip_error_system_type(error) == ZIP_ET_SYS && (system == ENOSPC || system == EDQUOT || system == EIO ||
                                                         system == ECANCELED))
        return deviceFailure(system);
    switch (zip_error_code_zip(error)) {
    case ZIP_ER_WRONGPASSWD:
        return result::WrongPassword;
    case ZIP_ER_NOPASSWD:
        return result::PasswordRequired;
    case ZIP_ER_NOZIP:
        return result::NotAZipFile;
    case ZIP_ER_NOENT:
        return result::ZipFileNotFound;
    case ZIP_ER_CRC:
    case ZIP_ER_INCONS:
    case ZIP_ER_EOF:
    case ZIP_ER_INVAL:
    case ZIP_ER_COMPRESSED_DATA:
        return result::DamagedArchive;
    case ZIP_ER_COMPNOTSUPP:
    case ZIP_ER_ENCRNOTSUPP:
        return result::UnsupportedEntry;
    case ZIP_ER_CANCELLED:
        return result::Cancelled;
    case ZIP_ER_MEMORY:
        return result::OutOfMemory;
    case ZIP_ER_READ:
    case ZIP_ER_WRITE:
        return result::DeviceError;
    default:
        return fallback;
    }
}

// The zip file as libzip reads and writes it: on a descriptor of ours, through the program's own I/O, so no
// temporary file of libzip's is made and a failing device is seen as such.
class ArchiveFile {
  public:
    ArchiveFile(int fd, std::uint64_t size, bool writable) : fd_(fd), size_(size), writable_(writable) {
        zip_error_init(&error_);
    }
    ~ArchiveFile() { zip_error_fini(&error_); }
    ArchiveFile(const ArchiveFile&) = delete;
    ArchiveFile& operator=(const ArchiveFile&) = delete;

    static zip_int64_t callback(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command) {
        return static_cast<ArchiveFile*>(state)->handle(data, length, command);
    }

  private:
  public:
    // The last error the device gave, 0 when none: it tells a failing disk from a damaged archive.
    int ioError() const { return ioError_; }

  private:
    zip_int64_t failed(int zipError, int systemError) {
        zip_error_set(&error_, zipError, systemError);
        if (systemError != 0) ioError_ = systemError;
        return -1;
    }

    zip_int64_t handle(void* data, zip_uint64_t length, zip_source_cmd_t command) {
        switch (command) {
        case ZIP_SOURCE_SUPPORTS:
            return writable_ ? ZIP_SOURCE_SUPPORTS_WRITABLE : ZIP_SOURCE_SUPPORTS_SEEKABLE;
        case ZIP_SOURCE_OPEN:
            readAt_ = 0;
            return 0;
        case ZIP_SOURCE_READ: {
            const ssize_t n = fsutil::io::pread(fd_, data, length, static_cast<off_t>(readAt_));
            if (n < 0) return failed(ZIP_ER_READ, static_cast<int>(-n));
            readAt_ += static_cast<std::uint64_t>(n);
            return n;
        }
        case ZIP_SOURCE_CLOSE:
        case ZIP_SOURCE_FREE: // the owner frees the state
        case ZIP_SOURCE_ROLLBACK_WRITE:
            return 0;
        case ZIP_SOURCE_STAT: {
            auto* st = static_cast<zip_stat_t*>(data);
            zip_stat_init(st);
            st->valid = ZIP_STAT_SIZE;
            st->size = size_;
            return sizeof(*st);
        }
        case ZIP_SOURCE_ERROR:
            return zip_error_to_data(&error_, data, length);
        case ZIP_SOURCE_SEEK:
        case ZIP_SOURCE_SEEK_WRITE: {
            const bool write = command == ZIP_SOURCE_SEEK_WRITE;
            const zip_int64_t at = zip_source_seek_compute_offset(write ? writeAt_ : readAt_,
                                                                  write ? written_ : size_, data, length, &error_);
            if (at < 0) return -1;
            (write ? writeAt_ : readAt_) = static_cast<std::uint64_t>(at);
            return 0;
        }
        case ZIP_SOURCE_TELL:
            return static_cast<zip_int64_t>(readAt_);
        case ZIP_SOURCE_TELL_WRITE:
            return static_cast<zip_int64_t>(writeAt_);
        case ZIP_SOURCE_BEGIN_WRITE:
        case ZIP_SOURCE_REMOVE:
            if (::ftruncate(fd_, 0) != 0) return failed(ZIP_ER_WRITE, errno);
            writeAt_ = written_ = 0;
            return 0;
        case ZIP_SOURCE_WRITE:
            if (const int error = fsutil::io::pwriteAll(fd_, data, length, static_cast<off_t>(writeAt_)); error)
                return failed(ZIP_ER_WRITE, error);
            writeAt_ += length;
            written_ = std::max(written_, writeAt_);
            return static_cast<zip_int64_t>(length);
        case ZIP_SOURCE_COMMIT_WRITE:
            if (::fsync(fd_) != 0) return failed(ZIP_ER_WRITE, errno);
            size_ = written_;
            return 0;
        default:
            return failed(ZIP_ER_OPNOTSUPP, 0);
        }
    }

    int fd_;
    std::uint64_t size_;
    bool writable_;
    std::uint64_t readAt_ = 0, writeAt_ = 0, written_ = 0;
    int ioError_ = 0;
    zip_error_t error_;
};

struct ZipCloser {
    void operator()(zip_t* za) const { zip_discard(za); }
};

// An open archive: libzip's handle over a file of ours. The handle goes first, as it still calls the file.
class OpenZip {
  public:
    zip_t* get() const { return za_.get(); }
    explicit operator bool() const { return static_cast<bool>(za_); }
    int ioError() const { return file_ ? file_->ioError() : 0; }
    // Closes the archive, writing it out when it was opened for writing; false on failure.
    bool close() {
        if (zip_close(za_.get()) != 0) return false;
        za_.release();
        return true;
    }

    static OpenZip open(Fd fd, bool writable, int flags, std::int32_t& code) {
        OpenZip zip;
        struct stat info {};
        if (!fd || ::fstat(fd.get(), &info) != 0) {
            code = errno == ENOENT ? result::ZipFileNotFound : result::CannotReadFile;
            return zip;
        }
        zip.fd_ = std::move(fd);
        zip.file_ = std::make_unique<ArchiveFile>(zip.fd_.get(), writable ? 0 : info.st_size, writable);
        zip_error_t error;
        zip_error_init(&error);
        zip_source_t* source = zip_source_function_create(&ArchiveFile::callback, zip.file_.get(), &error);
        if (source) {
            zip.za_.reset(zip_open_from_source(source, flags, &error));
            if (!zip.za_) zip_source_free(source);
        }
        if (!zip.za_)
            code = zip.ioError() ? deviceFailure(zip.ioError())
                                 : codeForZipError(&error, writable ? result::CannotCreateZip : result::CannotReadFile);
        zip_error_fini(&error);
        return zip;
    }
    static OpenZip open(const fs::path& path, int flags, std::int32_t& code) {
        return open(fsutil::io::openForReading(path), false, flags, code);
    }

  private:
    Fd fd_;
    std::unique_ptr<ArchiveFile> file_;
    std::unique_ptr<zip_t, ZipCloser> za_;
};

} // namespace

std::int32_t writeZip(int zipFd, const std::vector<SourceFile>& files, const WriteOptions& options) {
    // Declared before the archive, which still calls the sources while it is discarded.
    std::vector<std::unique_ptr<EntrySource>> sources;
    Writer writer(files, options);
    std::int32_t code = result::Success;
    OpenZip za = OpenZip::open(Fd(::dup(zipFd)), true, ZIP_CREATE | ZIP_TRUNCATE, code);
    if (!za) return code;
    for (size_t i = 0; i < files.size(); ++i) {
        auto state = std::make_unique<EntrySource>();
        state->writer = &writer;
        state->index = i;
        zip_error_init(&state->error);
        zip_source_t* source = zip_source_function(za.get(), &Writer::callback, state.get());
        if (!source) return result::CannotCreateZip;
        const zip_int64_t index =
            zip_file_add(za.get(), files[i].entryName.c_str(), source, ZIP_FL_ENC_UTF_8);
        if (index < 0) {
            zip_source_free(source);
            return zip_error_code_zip(zip_get_error(za.get())) == ZIP_ER_EXISTS ? result::DuplicateName
                                                                                : result::CannotCreateZip;
        }
        const auto entry = static_cast<zip_uint64_t>(index);
        // Deflated bytes pass through as they are; only streamed files are deflated by libzip.
        zip_set_file_compression(za.get(), entry, options.level == 0 ? ZIP_CM_STORE : ZIP_CM_DEFLATE,
                                 static_cast<zip_uint32_t>(std::max(options.level, 1)));
        if (!options.password.empty() &&
            zip_file_set_encryption(za.get(), entry, ZIP_EM_AES_256, options.password.c_str()) != 0)
            return result::UnsupportedEntry;
        zip_file_set_mtime(za.get(), entry, files[i].mtime, 0);
        sources.push_back(std::move(state));
    }
    if (za.close()) return result::Success;
    if (cancelled(options.abort)) return result::Cancelled;
    if (writer.failure() != result::Success) return writer.failure();
    return codeForZipError(zip_get_error(za.get()), result::CannotCreateZip);
}

// ---------------------------------------------------------------- reading

namespace {

// An entry left off because another one failed first; never reported.
constexpr std::int32_t kStopped = -1;

std::int32_t writeFailure(int error) {
    return error == ENOSPC || error == EDQUOT || error == EIO || error == ECANCELED ? deviceFailure(error)
                                                                                   : result::CannotWriteFile;
}

// An extracted file, written into the extraction's staging folder under a name of its own.
class PartFile {
  public:
    explicit PartFile(const fs::path& staged) : fd_(fsutil::io::createExclusive(staged)) {}
    bool ok() const { return static_cast<bool>(fd_); }
    std::int32_t write(const std::uint8_t* data, size_t size) {
        const int error = fsutil::io::writeAll(fd_.get(), data, size);
        return error == 0 ? result::Success : writeFailure(error);
    }
    // The file is whole: it gets the entry's time and waits to be put in place.
    std::int32_t finish(std::time_t mtime) {
        const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
        ::futimens(fd_.get(), times);
        const int error = fd_.close();
        return error == 0 ? result::Success : writeFailure(error);
    }

  private:
    Fd fd_;
};

struct FileCloser {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};

// Where an entry lands inside the folder, as a relative path; empty when its name cannot be placed there
// safely.
std::optional<std::string> placeEntry(std::string name, bool preservePaths) {
    std::replace(name.begin(), name.end(), '\\', '/');
    std::vector<std::string> parts;
    for (size_t start = 0; start <= name.size();) {
        const size_t end = std::min(name.find('/', start), name.size());
        std::string part = name.substr(start, end - start);
        start = end + 1;
        if (parts.empty() && part.size() >= 2 && part[1] == ':') part = part.substr(2); // a drive
        if (part.empty() || part == ".") continue;
        parts.push_back(part);
    }
    if (parts.empty()) return std::nullopt;
    if (!preservePaths) parts.erase(parts.begin(), parts.end() - 1);
    std::string path;
    for (const auto& part : parts) {
        if (part == ".." || part.find('\0') != std::string::npos) return std::nullopt;
        path += (path.empty() ? "" : "/") + part;
    }
    return path;
}

struct Planned {
    zip_uint64_t index = 0;
    std::string name;
    zip_stat_t st{};
    std::optional<fs::path> staged; // where the extracted file is written until every entry has passed
    std::atomic<std::uint64_t> processed = 0;
    std::atomic<bool> done = false;
    std::int32_t outcome = result::Success;
};

// Reads the entries in worker threads, each on its own handle of the archive so that decryption runs in
// parallel too; the calling thread raises the status events in entry order.
class Reader {
  public:
    Reader(const fs::path& zipPath, zip_t* za, const ReadOptions& options)
        : zipPath_(zipPath), za_(za), options_(options) {}

    std::int32_t run() {
        if (options_.targetFolder) {
            // The last extraction into this folder may have been killed halfway.
            try {
                fsutil::FileSetSwap::recover(*options_.targetFolder);
                fsutil::removeStaleFiles(*options_.targetFolder, [](std::string_view name) {
                    return fsutil::wildcardMatch("TEMP_*.part", name); // part files of older versions
                });
                swap_.emplace(*options_.targetFolder);
            } catch (const std::system_error& error) {
                return writeFailure(error.code().value());
            }
        }
        if (const std::int32_t planned = plan(); planned != result::Success) return planned;
        {
            std::vector<std::jthread> workers;
            const size_t count = std::min<size_t>(workerCount(options_.limits), std::max<size_t>(entries_.size(), 1));
            for (size_t i = 0; i < count; ++i)
                workers.emplace_back([this] { work(); });
            report();
            stop_ = true;
        }
        for (const auto& entry : entries_)
            if (entry->outcome != result::Success && entry->outcome != kStopped) return entry->outcome;
        if (cancelled(options_.abort)) return result::Cancelled;
        if (!swap_) return result::Success;
        // All or nothing: no existing file is replaced unless every entry was read back whole.
        try {
            swap_->commit();
        } catch (const std::system_error& error) {
            return writeFailure(error.code().value());
        }
        return result::Success;
    }

  private:
    // Every entry's place is settled before anything is written: an unsafe name, a link or two entries
    // for one file refuse the whole extraction.
    std::int32_t plan() {
        const zip_int64_t count = zip_get_num_entries(za_, 0);
        std::set<std::string> targets;
        bool unsafe = false, duplicate = false;
        for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count); ++i) {
            auto entry = std::make_unique<Planned>();
            entry->index = i;
            if (zip_stat_index(za_, i, 0, &entry->st) != 0) return result::DamagedArchive;
            entry->name = entry->st.name ? entry->st.name : "";
            if (!entry->name.empty() && entry->name.back() == '/') continue; // a folder
            // Checked here, as libzip's own refusal of such an entry leaks what it had set up.
            if (!zip_compression_method_supported(entry->st.comp_method, 0) ||
                (entry->st.encryption_method != ZIP_EM_NONE &&
                 !zip_encryption_method_supported(entry->st.encryption_method, 0)))
                return result::UnsupportedEntry;
            zip_uint8_t system = 0;
            zip_uint32_t attributes = 0;
            zip_file_get_external_attributes(za_, i, 0, &system, &attributes);
            if (swap_) {
                const auto relative = placeEntry(entry->name, options_.preservePaths);
                if (!relative || (system == ZIP_OPSYS_UNIX && ((attributes >> 16) & S_IFMT) == S_IFLNK)) {
                    unsafe = true;
                    continue;
                }
                // Names that differ in case only are one file where the program's name rules apply.
                if (!targets.insert(fsutil::toUpper(*relative)).second) duplicate = true;
                if (skipped(*options_.targetFolder / *relative, entry->st)) continue;
                entry->staged = swap_->stage(*relative);
            }
            entries_.push_back(std::move(entry));
        }
        if (unsafe) return result::UnsafeEntryName;
        if (duplicate) return result::DuplicateName;
        return result::Success;
    }

    bool skipped(const fs::path& target, const zip_stat_t& st) const {
        std::error_code ec;
        const bool exists = fs::exists(target, ec);
        if (options_.skipIfExisting && exists) return true;
        if (options_.skipIfNotExisting && !exists) return true;
        if (options_.skipIfOlderDate && exists) {
            struct stat info {};
            if (::stat(target.c_str(), &info) == 0 && st.mtime < info.st_mtime) return true;
        }
        return false;
    }

    void status(const Planned& entry, std::uint64_t processed, bool completed) {
        if (options_.status)
            options_.status(entry.name, entry.st.size, entry.st.comp_size, processed, completed);
    }

    void progress() {
        if (!options_.progress) return;
        std::uint64_t done = 0, total = 0;
        for (const auto& entry : entries_) {
            done += std::min(entry->processed.load(), entry->st.size);
            total += entry->st.size;
        }
        options_.progress(done, total);
    }

    // The calling thread's part: each entry's events in order, while the workers read ahead.
    void report() {
        for (auto& entry : entries_) {
            status(*entry, 0, false);
            std::uint64_t reported = 0;
            for (;;) {
                bool done;
                {
                    std::unique_lock lock(mutex_);
                    done = changed_.wait_for(lock, std::chrono::milliseconds(25),
                                             [&] { return entry->done.load(); });
                }
                const std::uint64_t processed = std::min(entry->processed.load(), entry->st.size);
                if (!done && processed > reported && processed < entry->st.size &&
                    progressDue(reported, processed, entry->st.size)) {
                    status(*entry, processed, false);
                    reported = processed;
                }
                progress();
                if (done) break;
            }
            if (entry->outcome != result::Success) {
                failed_ = true;
                if (entry->outcome == kStopped) continue; // the failing entry comes later
                return;
            }
            status(*entry, entry->st.size, true);
        }
        progress();
    }

    void work() {
        std::int32_t code = result::Success;
        OpenZip za = OpenZip::open(zipPath_, ZIP_RDONLY, code);
        if (za && !options_.password.empty()) zip_set_default_password(za.get(), options_.password.c_str());
        std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor(
            libdeflate_alloc_decompressor());
        Scratch scratch;
        for (;;) {
            const size_t next = next_++;
            if (next >= entries_.size()) return;
            Planned& entry = *entries_[next];
            if (stop_ || failed_)
                entry.outcome = kStopped;
            else if (!za)
                entry.outcome = code;
            else if (cancelled(options_.abort))
                entry.outcome = result::Cancelled;
            else
                entry.outcome = readEntry(za.get(), entry, decompressor.get(), scratch);
            if (entry.outcome != result::Success && entry.outcome != kStopped && za.ioError() != 0)
                entry.outcome = deviceFailure(za.ioError()); // the disk failed, not the archive
            if (entry.outcome != result::Success && entry.outcome != kStopped) failed_ = true;
            {
                std::lock_guard lock(mutex_);
                entry.done = true;
            }
            changed_.notify_all();
        }
    }

    // A worker's buffers, kept from entry to entry: fresh memory costs a page fault and a cleared page.
    struct Scratch {
        Buffer deflated, plain;
        static Buffer& sized(Buffer& buffer, size_t size) {
            if (buffer.capacity() < std::max<size_t>(size, 1)) buffer = Buffer(size);
            buffer.size = 0;
            return buffer;
        }
    };

    // A failure inside a worker becomes the entry's result; it must never end the program.
    std::int32_t readEntry(zip_t* za, Planned& entry, libdeflate_decompressor* decompressor, Scratch& scratch) {
        try {
            if (!decompressor) return result::OutOfMemory;
            if (entry.st.comp_method == ZIP_CM_DEFLATE && entry.st.size <= options_.limits.wholeReadLimit)
                return readWhole(za, entry, decompressor, scratch);
            return readStreamed(za, entry);
        } catch (const std::bad_alloc&) {
            return result::OutOfMemory;
        } catch (...) {
            return result::DamagedArchive;
        }
    }

    std::int32_t readWhole(zip_t* za, Planned& entry, libdeflate_decompressor* decompressor,
                           Scratch& scratch) {
        const zip_stat_t& st = entry.st;
        // Decrypted but still deflated.
        std::unique_ptr<zip_file_t, FileCloser> file(zip_fopen_index(za, entry.index, ZIP_FL_COMPRESSED));
        if (!file) return codeForZipError(zip_get_error(za), result::DamagedArchive);
        // The stored size includes the encryption header and trailer, so the data ends before it.
        Buffer& deflated = Scratch::sized(scratch.deflated, st.comp_size);
        const std::uint64_t total = std::max<std::uint64_t>(st.comp_size, 1);
        for (;;) {
            if (cancelled(options_.abort)) return result::Cancelled;
            if (failed_) return kStopped;
            if (deflated.size == st.comp_size) {
                // Reading on to the end makes libzip check the AES authentication code.
                std::uint8_t extra;
                const zip_int64_t tail = zip_fread(file.get(), &extra, 1);
                if (tail < 0) return codeForZipError(zip_file_get_error(file.get()), result::DamagedArchive);
                if (tail > 0) return result::DamagedArchive;
                break;
            }
            const zip_int64_t n = zip_fread(file.get(), deflated.data() + deflated.size,
                                            std::min<std::uint64_t>(kChunk, st.comp_size - deflated.size));
            if (n < 0) return codeForZipError(zip_file_get_error(file.get()), result::DamagedArchive);
            if (n == 0) break;
            deflated.size += static_cast<size_t>(n);
            entry.processed = deflated.size * st.size / total / 2; // reading is about half of the work
        }
        Buffer& plain = Scratch::sized(scratch.plain, st.size);
        size_t size = 0;
        if (libdeflate_deflate_decompress(decompressor, deflated.data(), deflated.size, plain.data(), st.size,
                                          &size) != LIBDEFLATE_SUCCESS ||
            size != st.size)
            return result::DamagedArchive;
        // AE-2 entries carry no CRC; their authentication code was checked while reading.
        const bool aes = st.encryption_method >= ZIP_EM_AES_128 && st.encryption_method <= ZIP_EM_AES_256;
        if (!(aes && st.crc == 0) && libdeflate_crc32(0, plain.data(), size) != st.crc)
            return result::DamagedArchive;
        entry.processed = st.size;
        if (!entry.staged) return result::Success;
        PartFile part(*entry.staged);
        if (!part.ok()) return result::CannotWriteFile;
        if (const std::int32_t written = part.write(plain.data(), size); written != result::Success)
            return written;
        return part.finish(st.mtime);
    }

    // Stored entries, other methods and large entries: libzip inflates and checks them itself.
    std::int32_t readStreamed(zip_t* za, Planned& entry) {
        const zip_stat_t& st = entry.st;
        std::unique_ptr<zip_file_t, FileCloser> file(zip_fopen_index(za, entry.index, 0));
        if (!file) return codeForZipError(zip_get_error(za), result::DamagedArchive);
        std::optional<PartFile> out;
        if (entry.staged) {
            out.emplace(*entry.staged);
            if (!out->ok()) return result::CannotWriteFile;
        }
        Buffer buffer(kChunk);
        std::uint64_t got = 0;
        for (;;) {
            if (cancelled(options_.abort)) return result::Cancelled;
            if (failed_) return kStopped;
            const zip_int64_t n = zip_fread(file.get(), buffer.data(), kChunk);
            if (n < 0) return codeForZipError(zip_file_get_error(file.get()), result::DamagedArchive);
            if (n == 0) break;
            if (out)
                if (const std::int32_t written = out->write(buffer.data(), static_cast<size_t>(n));
                    written != result::Success)
                    return written;
            got += static_cast<std::uint64_t>(n);
            entry.processed = got;
        }
        if (got != st.size) return result::DamagedArchive;
        return out ? out->finish(st.mtime) : result::Success;
    }

    const fs::path zipPath_;
    zip_t* za_;
    const ReadOptions& options_;
    std::vector<std::unique_ptr<Planned>> entries_;
    std::atomic<size_t> next_ = 0;
    std::atomic<bool> stop_ = false;
    std::atomic<bool> failed_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<fsutil::FileSetSwap> swap_;
};

} // namespace

std::int32_t readZip(const fs::path& zipPath, const ReadOptions& options) {
    std::int32_t code = result::Success;
    OpenZip za = OpenZip::open(zipPath, ZIP_RDONLY | ZIP_CHECKCONS, code);
    if (!za) return code;
    if (options.targetFolder) {
        std::error_code ec;
        fs::create_directories(*options.targetFolder, ec);
        if (ec || !fs::is_directory(*options.targetFolder)) return result::CannotWriteFile;
    }
    return Reader(zipPath, za.get(), options).run();
}

std::string zipTempName(const std::string& zipName) {
    std::random_device device;
    return "TEMP_" + zipName + "." + std::to_string(::getpid()) + "-" + std::to_string(device() % 1000000) +
           ".tmp";
}

bool isZipTempName(std::string_view name) {
    if (!name.starts_with("TEMP_")) return false;
    const size_t tmp = name.rfind(".tmp");
    if (tmp == std::string_view::npos) return false;
    const std::string_view after = name.substr(tmp + 4);
    if (!after.empty() && !(after.size() == 7 && after[0] == '.')) return false;
    const size_t dot = name.rfind('.', tmp - 1);
    if (dot == std::string_view::npos) return false;
    const std::string_view suffix = name.substr(dot + 1, tmp - dot - 1); // <process>-<random>
    const size_t dash = suffix.find('-');
    const auto digits = [](std::string_view text) {
        return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    return dash != std::string_view::npos && digits(suffix.substr(0, dash)) && digits(suffix.substr(dash + 1));
}

std::int32_t listZip(const fs::path& zipPath, std::vector<ZipEntryInfo>& entries) {
    std::int32_t code = result::Success;
    OpenZip za = OpenZip::open(zipPath, ZIP_RDONLY | ZIP_CHECKCONS, code);
    if (!za) return code;
    const zip_int64_t count = zip_get_num_entries(za.get(), 0);
    for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count); ++i) {
        zip_stat_t st;
        if (zip_stat_index(za.get(), i, 0, &st) != 0) return result::DamagedArchive;
        ZipEntryInfo info;
        info.name = fsutil::toUtf16(st.name ? st.name : "");
        info.size = st.size;
        info.compressedSize = st.comp_size;
        info.encrypted = st.encryption_method != ZIP_EM_NONE;
        info.method = st.encryption_method == ZIP_EM_NONE          ? u"none"
                      : st.encryption_method == ZIP_EM_TRAD_PKWARE ? u"ZipCrypto"
                      : st.encryption_method == ZIP_EM_AES_256     ? u"AES-256"
                                                                   : u"AES";
        entries.push_back(std::move(info));
    }
    return result::Success;
}

} // namespace archive::engine
