#include "archive/internal/ZipFile.h"

#include "archive/IZipControl.h"
#include "fsutil/Paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>

namespace archive::engine {

std::int32_t codeForZipError(const zip_error_t* error, std::int32_t fallback) {
    const int system = zip_error_code_system(error);
    if (zip_error_system_type(error) == ZIP_ET_SYS &&
        (system == ENOSPC || system == EDQUOT || system == EIO || system == ECANCELED))
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
            const zip_int64_t at = zip_source_seek_compute_offset(
                write ? writeAt_ : readAt_, write ? written_ : size_, data, length, &error_);
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
            if (const int error = fsutil::io::pwriteAll(fd_, data, length, static_cast<off_t>(writeAt_));
                error)
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

OpenZip::OpenZip() = default;
OpenZip::OpenZip(OpenZip&&) noexcept = default;
OpenZip& OpenZip::operator=(OpenZip&& other) noexcept {
    za_.reset(); // before the file it still calls goes
    file_ = std::move(other.file_);
    fd_ = std::move(other.fd_);
    za_ = std::move(other.za_);
    return *this;
}
OpenZip::~OpenZip() = default;

int OpenZip::ioError() const {
    return file_ ? file_->ioError() : 0;
}

bool OpenZip::close() {
    if (zip_close(za_.get()) != 0) return false;
    za_.release();
    return true;
}

OpenZip OpenZip::open(Fd fd, bool writable, int flags, std::int32_t& code) {
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
        code = zip.ioError()
                   ? deviceFailure(zip.ioError())
                   : codeForZipError(&error, writable ? result::CannotCreateZip : result::CannotReadFile);
    zip_error_fini(&error);
    return zip;
}
OpenZip OpenZip::open(const fs::path& path, int flags, std::int32_t& code) {
    return open(fsutil::io::openForReading(path), false, flags, code);
}

std::string zipTempName(const std::string& zipName) {
    std::random_device device;
    return std::string(fsutil::kTempPrefix) + zipName + "." + std::to_string(::getpid()) + "-" +
           std::to_string(device() % 1000000) + ".tmp";
}

bool isZipTempName(std::string_view name) {
    if (!name.starts_with(fsutil::kTempPrefix)) return false;
    const size_t tmp = name.rfind(".tmp");
    if (tmp == std::string_view::npos) return false;
    const std::string_view after = name.substr(tmp + 4);
    if (!after.empty() && !(after.size() == 7 && after[0] == '.')) return false;
    const size_t dot = name.rfind('.', tmp - 1);
    if (dot == std::string_view::npos) return false;
    const std::string_view suffix = name.substr(dot + 1, tmp - dot - 1); // <process>-<random>
    const size_t dash = suffix.find('-');
    const auto digits = [](std::string_view text) {
        return !text.empty() &&
               std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    return dash != std::string_view::npos && digits(suffix.substr(0, dash)) &&
           digits(suffix.substr(dash + 1));
}

} // namespace archive::engine
