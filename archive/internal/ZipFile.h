#pragma once
// libzip over the program's own files, and what libzip's errors mean as result codes.
#include "archive/internal/Posix.h"

#include <zip.h>

#include <memory>
#include <string>
#include <string_view>

namespace archive::engine {

std::int32_t codeForZipError(const zip_error_t* error, std::int32_t fallback);

class ArchiveFile;

// An open archive: libzip's handle over a file of ours, read and written through the program's I/O.
class OpenZip {
  public:
    OpenZip();
    OpenZip(OpenZip&&) noexcept;
    OpenZip& operator=(OpenZip&&) noexcept;
    ~OpenZip();
    zip_t* get() const { return za_.get(); }
    explicit operator bool() const { return static_cast<bool>(za_); }
    // The last error the device gave, 0 when none: it tells a failing disk from a damaged archive.
    int ioError() const;
    // Closes the archive, writing it out when it was opened for writing; false on failure.
    bool close();

    static OpenZip open(Fd fd, bool writable, int flags, std::int32_t& code);
    static OpenZip open(const fs::path& path, int flags, std::int32_t& code);

  private:
    struct ZipCloser {
        void operator()(zip_t* za) const { zip_discard(za); }
    };
    Fd fd_;
    std::unique_ptr<ArchiveFile> file_;
    std::unique_ptr<zip_t, ZipCloser> za_; // goes first, as it still calls the file
};

// The name of a new zip's temporary file beside it: TEMP_<zip name>.<process>-<random>.tmp.
std::string zipTempName(const std::string& zipName);
// True for such a name, and for one that an older libzip write left beside it (".tmp.XXXXXX").
bool isZipTempName(std::string_view name);

} // namespace archive::engine
