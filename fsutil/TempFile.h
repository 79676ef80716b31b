#pragma once
#include <filesystem>

namespace fsutil {

// A file written under a temporary name: removed when the object dies, unless it was put in place first.
class TempFile {
  public:
    explicit TempFile(std::filesystem::path path) : path_(std::move(path)) {}
    ~TempFile();
    TempFile(TempFile&& other) noexcept : path_(std::move(other.path_)), owned_(other.owned_) {
        other.owned_ = false;
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    TempFile& operator=(TempFile&&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // Renames the file to its real name; throws std::filesystem::filesystem_error on failure.
    void commitTo(const std::filesystem::path& finalPath);
    // The file was put in place by other means: nothing to remove.
    void release() { owned_ = false; }

  private:
    std::filesystem::path path_;
    bool owned_ = true;
};

// Flushes a written file to the disk; throws std::system_error on failure.
void syncFile(const std::filesystem::path& file);
// Flushes a folder's entries, so that renames inside it survive a crash.
void syncFolder(const std::filesystem::path& folder);

} // namespace fsutil
