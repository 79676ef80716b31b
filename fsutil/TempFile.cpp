#include "fsutil/TempFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <system_error>

namespace fsutil {

TempFile::~TempFile() {
    if (!owned_) return;
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
}

void TempFile::commitTo(const std::filesystem::path& finalPath) {
    std::filesystem::rename(path_, finalPath);
    owned_ = false;
}

namespace {
void syncPath(const std::filesystem::path& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot open " + path.string());
    const int rc = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    if (rc != 0) throw std::system_error(error, std::generic_category(), "cannot flush " + path.string());
}
} // namespace

void syncFile(const std::filesystem::path& file) {
    syncPath(file, O_RDONLY);
}
void syncFolder(const std::filesystem::path& folder) {
    syncPath(folder, O_RDONLY | O_DIRECTORY);
}

} // namespace fsutil
