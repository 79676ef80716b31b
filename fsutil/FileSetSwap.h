#pragma once
// Replaces a set of files in one folder as a unit. The new files are written into a private staging folder
// inside that folder; commit() writes a journal, moves the old files aside and the new ones in, and marks
// the swap done. A process killed on the way leaves a state that recover() turns back into the old set
// (before the mark) or finishes (after it), so nobody reads a mix of old and new files for long.
#include "fsutil/Io.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace fsutil {

class FileSetSwap {
  public:
    // Throws std::system_error when the staging folder cannot be made.
    explicit FileSetSwap(std::filesystem::path folder);
    ~FileSetSwap(); // without a commit, everything staged is removed and the folder is as it was
    FileSetSwap(const FileSetSwap&) = delete;
    FileSetSwap& operator=(const FileSetSwap&) = delete;

    // Where to write the new file for `name`, a path relative to the folder ("/" between subfolders). The
    // caller writes it and flushes it to the disk (fsync) before the commit.
    std::filesystem::path stage(const std::string& name);
    // An old file to move out of the way without a replacement.
    void retire(const std::string& name);
    // After the commit the replaced and retired files go to this folder, replacing an earlier one there;
    // without it they are deleted.
    void keepReplacedIn(std::filesystem::path folder) { keep_ = std::move(folder); }

    // Checks every target (no folder or link where a file goes), then swaps. Throws std::system_error; the
    // old files are then back in place.
    void commit();

    // Finishes or undoes what a killed process left in the folder; swaps still running are left alone.
    static void recover(const std::filesystem::path& folder);

    const std::filesystem::path& folder() const { return folder_; }

  private:
    struct Item {
        std::string name;
        bool replacement; // a staged file goes in its place
    };
    std::filesystem::path folder_, staging_;
    FileLock lock_;
    std::vector<Item> items_;
    std::optional<std::filesystem::path> keep_;
    bool committed_ = false;
};

// Removes the program's own stale temporary files from a folder: those whose names `isOurs` accepts and
// that no running process holds locked.
void removeStaleFiles(const std::filesystem::path& folder,
                      const std::function<bool(std::string_view)>& isOurs);

} // namespace fsutil
