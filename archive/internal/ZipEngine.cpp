#include "archive/internal/ZipEngine.h"

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
#include <thread>
#include <utility>

namespace archive::engine {
namespace {

// Files up to this size are deflated whole in a worker; larger ones are streamed through libzip.
constexpr std::uint64_t kWholeBufferLimit = 256ull << 20;
// Input bytes the workers may hold ahead of the writer.
constexpr std::uint64_t kInFlightBudget = 192ull << 20;
constexpr size_t kChunk = 1 << 20;

unsigned workerCount() { return std::max(1u, std::min(8u, std::thread::hardware_concurrency())); }

bool cancelled(const std::atomic<bool>* abort) { return abort && abort->load(); }

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    int get() const { return fd_; }

private:
    int fd_;
};

class Mapping {
public:
    Mapping() = default;
    // Maps a whole file read-only; an empty file maps to nothing.
    explicit Mapping(const fs::path& file) {
        Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat info {};
        if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) return;
        size_ = static_cast<size_t>(info.st_size);
        ok_ = true;
        if (size_ == 0) return;
        void* data = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd.get(), 0);
        if (data == MAP_FAILED) {
            ok_ = false;
            size_ = 0;
            return;
        }
        ::madvise(data, size_, MADV_SEQUENTIAL);
        data_ = static_cast<const std::uint8_t*>(data);
    }
    ~Mapping() {
        if (data_) ::munmap(const_cast<std::uint8_t*>(data_), size_);
    }
    Mapping(Mapping&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(other.size_), ok_(other.ok_) {}
    Mapping& operator=(Mapping&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(ok_, other.ok_);
        return *this;
    }
    bool ok() const { return ok_; }
    const std::uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

private:
    const std::uint8_t* data_ = nullptr;
    size_t size_ = 0;
    bool ok_ = false;
};

struct Buffer {
    std::unique_ptr<std::uint8_t[]> bytes;
    size_t size = 0;
};

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
    Mapping input;
    Buffer deflated;
    std::uint32_t crc = 0;
    std::uint64_t size = 0;

    const std::uint8_t* data() const { return stored ? input.data() : deflated.bytes.get(); }
    std::uint64_t dataSize() const { return stored ? input.size() : deflated.size; }
};

// Deflates the files in entry order, a few entries ahead of the writer that consumes them.
class CompressionPool {
public:
    CompressionPool(const std::vector<SourceFile>& files, int level, const std::atomic<bool>* abort)
        : files_(files), level_(level), abort_(abort), results_(files.size()) {
        for (unsigned i = 0; i < workerCount(); ++i) workers_.emplace_back([this] { work(); });
    }
    ~CompressionPool() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        for (auto& worker : workers_) worker.join();
    }

    static bool isStreamed(const SourceFile& file) { return file.size > kWholeBufferLimit; }

    Compressed& wait(size_t index) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return results_[index].has_value(); });
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
                while (next_ < files_.size() && isStreamed(files_[next_])) ++next_;
                changed_.wait(lock, [&] {
                    return stopping_ || next_ >= files_.size() ||
                           (next_ < released_ + 2 * workers_.size() + 2 &&
                            (inFlight_ == 0 || inFlight_ + files_[next_].size <= kInFlightBudget));
                });
                if (stopping_ || next_ >= files_.size()) return;
                index = next_++;
                inFlight_ += files_[index].size;
            }
            Compressed done;
            if (!cancelled(abort_)) {
                if (!compressor && level_ > 0) compressor.reset(libdeflate_alloc_compressor(level_));
                done = compress(files_[index], compressor.get());
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
        out.input = Mapping(file.path);
        if (!out.input.ok()) {
            out.error = result::CannotReadFile;
            return out;
        }
        out.size = out.input.size();
        out.crc = static_cast<std::uint32_t>(libdeflate_crc32(0, out.input.data(), out.input.size()));
        out.stored = true;
        if (!compressor || out.size == 0) return out;
        const size_t bound = libdeflate_deflate_compress_bound(compressor, out.input.size());
        out.deflated.bytes.reset(new std::uint8_t[bound]);
        out.deflated.size = libdeflate_deflate_compress(compressor, out.input.data(), out.input.size(),
                                                        out.deflated.bytes.get(), bound);
        // Data that does not shrink is stored as it is.
        if (out.deflated.size == 0 || out.deflated.size >= out.size) {
            out.deflated = {};
            return out;
        }
        out.stored = false;
        out.input = Mapping();
        return out;
    }

    const std::vector<SourceFile>& files_;
    const int level_;
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

// One entry's data as libzip reads it: already deflated bytes, or a large file streamed for libzip to deflate.
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
        : files_(files), options_(options), pool_(files, options.level, options.abort) {}

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

    void status(EntrySource& source, std::uint64_t processed, bool completed) {
        const SourceFile& file = files_[source.index];
        const std::uint64_t compressed = source.stat && (source.stat->valid & ZIP_STAT_COMP_SIZE) ? source.stat->comp_size : 0;
        if (options_.status) options_.status(file.entryName, file.size, compressed, processed, completed);
    }

    zip_int64_t handle(EntrySource& source, void* data, zip_uint64_t length, zip_source_cmd_t command) {
        const SourceFile& file = files_[source.index];
        switch (command) {
        case ZIP_SOURCE_SUPPORTS:
            return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                                  ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
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
            if (CompressionPool::isStreamed(file)) {
                st->size = file.size;
                source.stat = *st;
                return sizeof(*st);
            }
            if (!source.ready) source.ready = &pool_.wait(source.index);
            if (source.ready->error != result::Success) return refuse(source, ZIP_ER_READ, source.ready->error);
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
            if (CompressionPool::isStreamed(file)) {
                source.streamed = Fd(::open(file.path.c_str(), O_RDONLY | O_CLOEXEC));
                if (source.streamed.get() < 0) return refuse(source, ZIP_ER_OPEN, result::CannotReadFile);
            }
            source.delivered = 0;
            status(source, 0, false);
            return 0;
        case ZIP_SOURCE_READ: {
            if (cancelled(options_.abort)) return refuse(source, ZIP_ER_CANCELLED, result::Cancelled);
            zip_int64_t count;
            std::uint64_t processed;
            if (source.ready) {
                const std::uint64_t left = source.ready->dataSize() - source.delivered;
                count = static_cast<zip_int64_t>(std::min<std::uint64_t>(left, length));
                if (count > 0) std::memcpy(data, source.ready->data() + source.delivered, static_cast<size_t>(count));
                const std::uint64_t total = std::max<std::uint64_t>(source.ready->dataSize(), 1);
                processed = (source.delivered + count) * source.ready->size / total;
            } else {
                count = ::read(source.streamed.get(), data, length);
                if (count < 0) return refuse(source, ZIP_ER_READ, result::CannotReadFile);
                processed = source.delivered + count;
            }
            const std::uint64_t before = source.ready ? source.delivered * source.ready->size /
                                                            std::max<std::uint64_t>(source.ready->dataSize(), 1)
                                                      : source.delivered;
            source.delivered += static_cast<std::uint64_t>(count);
            if (count == 0 && !source.completed) {
                source.completed = true;
                status(source, file.size, true);
            } else if (count > 0 && processed < file.size && progressDue(before, processed, file.size)) {
                status(source, processed, false);
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
};

std::int32_t codeForZipError(const zip_error_t* error, std::int32_t fallback) {
    const int system = zip_error_code_system(error);
    if (zip_error_system_type(error) == ZIP_ET_SYS && (system == ENOSPC || system == EDQUOT)) return result::DiskFull;
    switch (zip_error_code_zip(error)) {
    case ZIP_ER_WRONGPASSWD: return result::WrongPassword;
    case ZIP_ER_NOPASSWD: return result::PasswordRequired;
    case ZIP_ER_NOZIP: return result::NotAZipFile;
    case ZIP_ER_NOENT: return result::ZipFileNotFound;
    case ZIP_ER_CRC:
    case ZIP_ER_INCONS:
    case ZIP_ER_EOF:
    case ZIP_ER_INVAL:
    case ZIP_ER_COMPRESSED_DATA: return result::DamagedArchive;
    case ZIP_ER_COMPNOTSUPP:
    case ZIP_ER_ENCRNOTSUPP: return result::UnsupportedEntry;
    case ZIP_ER_CANCELLED: return result::Cancelled;
    default: return fallback;
    }
}

struct ZipCloser {
    void operator()(zip_t* za) const { zip_discard(za); }
};
using ZipHandle = std::unique_ptr<zip_t, ZipCloser>;

ZipHandle openZip(const fs::path& path, int flags, std::int32_t& code) {
    int error = 0;
    zip_t* za = zip_open(path.c_str(), flags, &error);
    if (!za) {
        zip_error_t detail;
        zip_error_init_with_code(&detail, error);
        code = codeForZipError(&detail, flags & ZIP_RDONLY ? result::CannotReadFile : result::CannotCreateZip);
        zip_error_fini(&detail);
    }
    return ZipHandle(za);
}

} // namespace

std::int32_t writeZip(const fs::path& zipPath, const std::vector<SourceFile>& files, const WriteOptions& options) {
    // Declared before the archive, which still calls the sources while it is discarded.
    std::vector<std::unique_ptr<EntrySource>> sources;
    Writer writer(files, options);
    std::int32_t code = result::Success;
    ZipHandle za = openZip(zipPath, ZIP_CREATE | ZIP_TRUNCATE, code);
    if (!za) return code;
    for (size_t i = 0; i < files.size(); ++i) {
        auto state = std::make_unique<EntrySource>();
        state->writer = &writer;
        state->index = i;
        zip_error_init(&state->error);
        zip_source_t* source = zip_source_function(za.get(), &Writer::callback, state.get());
        if (!source) return result::CannotCreateZip;
        const zip_int64_t index = zip_file_add(za.get(), files[i].entryName.c_str(), source, ZIP_FL_ENC_UTF_8);
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
    if (zip_close(za.get()) == 0) {
        za.release();
        return result::Success;
    }
    if (cancelled(options.abort)) return result::Cancelled;
    if (writer.failure() != result::Success) return writer.failure();
    return codeForZipError(zip_get_error(za.get()), result::CannotCreateZip);
}

// ---------------------------------------------------------------- reading

namespace {

struct InflateJob {
    std::string name;
    Buffer input;
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    bool checkCrc = true;
    std::optional<fs::path> target;
    std::time_t mtime = 0;
    std::int32_t outcome = result::Success;
    bool done = false;
};

std::int32_t writeWhole(const fs::path& target, const std::uint8_t* data, size_t size, std::time_t mtime) {
    const fs::path temp = target.parent_path() / ("TEMP_" + target.filename().string() + ".part");
    Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) return result::CannotWriteFile;
    for (size_t written = 0; written < size;) {
        const ssize_t n = ::write(fd.get(), data + written, size - written);
        if (n < 0) {
            const int error = errno;
            ::unlink(temp.c_str());
            return error == ENOSPC || error == EDQUOT ? result::DiskFull : result::CannotWriteFile;
        }
        written += static_cast<size_t>(n);
    }
    const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    ::futimens(fd.get(), times);
    fd = Fd();
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        ::unlink(temp.c_str());
        return result::CannotWriteFile;
    }
    return result::Success;
}

// Inflates, checks and writes entries in worker threads; jobs finish in any order, the reader collects them
// in entry order.
class InflatePool {
public:
    InflatePool() {
        for (unsigned i = 0; i < workerCount(); ++i) workers_.emplace_back([this] { work(); });
    }
    ~InflatePool() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        for (auto& worker : workers_) worker.join();
    }

    void submit(std::shared_ptr<InflateJob> job) {
        {
            std::unique_lock lock(mutex_);
            // Bound the compressed bytes waiting for a worker.
            changed_.wait(lock, [&] { return queuedBytes_ == 0 || queuedBytes_ + job->input.size <= kInFlightBudget; });
            queuedBytes_ += job->input.size;
            queue_.push_back(std::move(job));
        }
        changed_.notify_all();
    }

    void waitFor(const InflateJob& job) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return job.done; });
    }

    bool isDone(const InflateJob& job) {
        std::lock_guard lock(mutex_);
        return job.done;
    }

private:
    void work() {
        std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor(libdeflate_alloc_decompressor());
        for (;;) {
            std::shared_ptr<InflateJob> job;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
                if (queue_.empty()) return;
                job = std::move(queue_.front());
                queue_.pop_front();
            }
            const std::int32_t outcome = run(*job, decompressor.get());
            {
                std::lock_guard lock(mutex_);
                queuedBytes_ -= job->input.size;
                job->input = {};
                job->outcome = outcome;
                job->done = true;
            }
            changed_.notify_all();
        }
    }

    static std::int32_t run(const InflateJob& job, libdeflate_decompressor* decompressor) {
        Buffer plain;
        plain.bytes.reset(new std::uint8_t[std::max<std::uint64_t>(job.size, 1)]);
        size_t size = 0;
        if (libdeflate_deflate_decompress(decompressor, job.input.bytes.get(), job.input.size, plain.bytes.get(),
                                          job.size, &size) != LIBDEFLATE_SUCCESS ||
            size != job.size)
            return result::DamagedArchive;
        if (job.checkCrc && libdeflate_crc32(0, plain.bytes.get(), size) != job.crc) return result::DamagedArchive;
        return job.target ? writeWhole(*job.target, plain.bytes.get(), size, job.mtime) : result::Success;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::shared_ptr<InflateJob>> queue_;
    std::uint64_t queuedBytes_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

struct FileCloser {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};

// Where an entry lands inside the folder; empty when its name cannot be placed there safely.
std::optional<fs::path> placeEntry(const fs::path& folder, std::string name, bool preservePaths) {
    std::replace(name.begin(), name.end(), '\\', '/');
    std::vector<std::string> parts;
    for (size_t start = 0; start <= name.size();) {
        const size_t end = std::min(name.find('/', start), name.size());
        std::string part = name.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") continue;
        if (parts.empty() && part.size() >= 2 && part[1] == ':') part = part.substr(2); // a drive
        if (part.empty()) continue;
        parts.push_back(part);
    }
    if (parts.empty()) return std::nullopt;
    if (!preservePaths) parts.erase(parts.begin(), parts.end() - 1);
    fs::path path = folder;
    for (const auto& part : parts) {
        if (part == "..") return std::nullopt;
        path /= part;
    }
    return path;
}

class Reader {
public:
    Reader(zip_t* za, const ReadOptions& options) : za_(za), options_(options) {}

    std::int32_t run() {
        const zip_int64_t count = zip_get_num_entries(za_, 0);
        std::int32_t outcome = result::Success;
        for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count) && outcome == result::Success; ++i) {
            if (cancelled(options_.abort)) outcome = result::Cancelled;
            else outcome = entry(i);
            outcome = collect(false, outcome);
        }
        outcome = collect(true, outcome);
        if (outcome == result::Success && unsafe_) outcome = result::UnsafeEntryName;
        return outcome;
    }

private:
    void status(const std::string& name, const zip_stat_t& st, std::uint64_t processed, bool completed) {
        if (options_.status) options_.status(name, st.size, st.comp_size, processed, completed);
    }

    // Raises the completion of finished jobs in entry order; with wait, of all of them.
    std::int32_t collect(bool wait, std::int32_t outcome) {
        while (!pending_.empty()) {
            auto& [job, st] = pending_.front();
            if (wait) pool_.waitFor(*job);
            else if (!pool_.isDone(*job)) break;
            if (job->outcome != result::Success && outcome == result::Success) outcome = job->outcome;
            if (job->outcome == result::Success) status(job->name, st, st.size, true);
            pending_.pop_front();
        }
        return outcome;
    }

    std::int32_t entry(zip_uint64_t index) {
        zip_stat_t st;
        if (zip_stat_index(za_, index, 0, &st) != 0) return result::DamagedArchive;
        const std::string name = st.name ? st.name : "";
        if (!name.empty() && name.back() == '/') return result::Success; // a folder
        zip_uint8_t system = 0;
        zip_uint32_t attributes = 0;
        zip_file_get_external_attributes(za_, index, 0, &system, &attributes);
        std::optional<fs::path> target;
        if (options_.targetFolder) {
            target = placeEntry(*options_.targetFolder, name, options_.preservePaths);
            if (!target || (system == ZIP_OPSYS_UNIX && ((attributes >> 16) & S_IFMT) == S_IFLNK)) {
                unsafe_ = true;
                return result::Success;
            }
            if (skipped(*target, st)) return result::Success;
            std::error_code ec;
            fs::create_directories(target->parent_path(), ec);
            if (ec) return result::CannotWriteFile;
        }
        status(name, st, 0, false);
        // Stored entries and other methods go through libzip, which checks them itself.
        const bool whole = st.size <= kWholeBufferLimit && st.comp_method == ZIP_CM_DEFLATE;
        return whole ? readWhole(index, name, st, target) : readStreamed(index, name, st, target);
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

    std::int32_t openFailure() {
        return codeForZipError(zip_get_error(za_), result::DamagedArchive);
    }

    std::int32_t readWhole(zip_uint64_t index, const std::string& name, const zip_stat_t& st,
                           const std::optional<fs::path>& target) {
        // Decrypted but still deflated; workers inflate it.
        std::unique_ptr<zip_file_t, FileCloser> file(zip_fopen_index(za_, index, ZIP_FL_COMPRESSED));
        if (!file) return openFailure();
        auto job = std::make_shared<InflateJob>();
        job->input.bytes.reset(new std::uint8_t[std::max<std::uint64_t>(st.comp_size, 1)]);
        // The stored size includes the encryption header and trailer, so the data ends before it.
        std::uint64_t got = 0;
        const std::uint64_t total = std::max<std::uint64_t>(st.comp_size, 1);
        for (;;) {
            if (cancelled(options_.abort)) return result::Cancelled;
            if (got == st.comp_size) {
                // Reading on to the end makes libzip check the AES authentication code.
                std::uint8_t extra;
                const zip_int64_t tail = zip_fread(file.get(), &extra, 1);
                if (tail < 0) return codeForZipError(zip_file_get_error(file.get()), result::DamagedArchive);
                if (tail > 0) return result::DamagedArchive;
                break;
            }
            const zip_int64_t n =
                zip_fread(file.get(), job->input.bytes.get() + got, std::min<std::uint64_t>(kChunk, st.comp_size - got));
            if (n < 0) return codeForZipError(zip_file_get_error(file.get()), result::DamagedArchive);
            if (n == 0) break;
            const std::uint64_t before = got * st.size / total;
            got += static_cast<std::uint64_t>(n);
            const std::uint64_t processed = got * st.size / total;
            if (processed < st.size && progressDue(before, processed, st.size)) status(name, st, processed, false);
        }
        job->input.size = static_cast<size_t>(got);
        job->name = name;
        job->size = st.size;
        job->crc = st.crc;
        job->target = target;
        job->mtime = st.mtime;
        // AE-2 entries carry no CRC; their authentication code was checked while reading.
        job->checkCrc = !(st.encryption_method >= ZIP_EM_AES_128 && st.encryption_method <= ZIP_EM_AES_256 && st.crc == 0);
        pending_.emplace_back(job, st);
        pool_.submit(job);
        return result::Success;
    }

    std::int32_t readStreamed(zip_uint64_t index, const std::string& name, const zip_stat_t& st,
                              const std::optional<fs::path>& target) {
        std::unique_ptr<zip_file_t, FileCloser> file(zip_fopen_index(za_, index, 0));
        if (!file) return openFailure();
        Fd out;
        fs::path temp;
        if (target) {
            temp = target->parent_path() / ("TEMP_" + target->filename().string() + ".part");
            out = Fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
            if (out.get() < 0) return result::CannotWriteFile;
        }
        struct Cleanup {
            const fs::path& path;
            bool keep = false;
            ~Cleanup() {
                if (!keep && !path.empty()) ::unlink(path.c_str());
            }
        } cleanup{temp};
        std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kChunk]);
        std::uint64_t got = 0;
        for (;;) {
            if (cancelled(options_.abort)) return result::Cancelled;
            const zip_int64_t n = zip_fread(file.get(), buffer.get(), kChunk);
            if (n < 0) return codeForZipError(zip_file_get_error(file.get()), result::DamagedArchive);
            if (n == 0) break;
            for (zip_int64_t written = 0; out.get() >= 0 && written < n;) {
                const ssize_t w = ::write(out.get(), buffer.get() + written, static_cast<size_t>(n - written));
                if (w < 0) return errno == ENOSPC || errno == EDQUOT ? result::DiskFull : result::CannotWriteFile;
                written += w;
            }
            const std::uint64_t before = got;
            got += static_cast<std::uint64_t>(n);
            if (got < st.size && progressDue(before, got, st.size)) status(name, st, got, false);
        }
        if (got != st.size) return result::DamagedArchive;
        if (target) {
            const struct timespec times[2] = {{st.mtime, 0}, {st.mtime, 0}};
            ::futimens(out.get(), times);
            out = Fd();
            if (::rename(temp.c_str(), target->c_str()) != 0) return result::CannotWriteFile;
            cleanup.keep = true;
        }
        status(name, st, st.size, true);
        return result::Success;
    }

    zip_t* za_;
    const ReadOptions& options_;
    InflatePool pool_;
    std::deque<std::pair<std::shared_ptr<InflateJob>, zip_stat_t>> pending_;
    bool unsafe_ = false;
};

} // namespace

std::int32_t readZip(const fs::path& zipPath, const ReadOptions& options) {
    std::int32_t code = result::Success;
    ZipHandle za = openZip(zipPath, ZIP_RDONLY | ZIP_CHECKCONS, code);
    if (!za) return code;
    if (!options.password.empty()) zip_set_default_password(za.get(), options.password.c_str());
    if (options.targetFolder) {
        std::error_code ec;
        fs::create_directories(*options.targetFolder, ec);
        if (ec || !fs::is_directory(*options.targetFolder)) return result::CannotWriteFile;
    }
    return Reader(za.get(), options).run();
}

std::int32_t listZip(const fs::path& zipPath, std::vector<ZipEntryInfo>& entries) {
    std::int32_t code = result::Success;
    ZipHandle za = openZip(zipPath, ZIP_RDONLY | ZIP_CHECKCONS, code);
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
        info.method = st.encryption_method == ZIP_EM_NONE         ? u"none"
                      : st.encryption_method == ZIP_EM_TRAD_PKWARE ? u"ZipCrypto"
                      : st.encryption_method == ZIP_EM_AES_256     ? u"AES-256"
                                                                   : u"AES";
        entries.push_back(std::move(info));
    }
    return result::Success;
}

} // namespace archive::engine
