#include "fsutil/FileSetSwap.h"

#include "fsutil/Paths.h"
#include "fsutil/TempFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace fsutil {
namespace {

constexpr std::string_view kStagingPattern = "TEMP_SWAP.*";
constexpr const char* kJournal = "JOURNAL";
constexpr const char* kCommitted = "COMMITTED";

fs::path newFile(const fs::path& staging, size_t index) {
    return staging / ("new." + std::to_string(index));
}
fs::path oldFile(const fs::path& staging, size_t index) {
    return staging / "old" / std::to_string(index);
}

bool present(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

// Names travel one to a line: "%", tab and line breaks are escaped.
std::string escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '%' || c == '\t' || c == '\n' || c == '\r') {
            static const char hex[] = "0123456789ABCDEF";
            out += '%';
            out += hex[static_cast<unsigned char>(c) >> 4];
            out += hex[static_cast<unsigned char>(c) & 15];
        } else {
            out += c;
        }
    }
    return out;
}
std::string unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

struct Journal {
    struct Entry {
        size_t index;
        std::string name;
        bool replacement;
    };
    std::optional<fs::path> keep;
    std::vector<Entry> entries;

    std::string text() const {
        std::string out = "swap 1\n";
        if (keep) out += "keep\t" + escape(keep->string()) + "\n";
        for (const auto& e : entries)
            out += std::string(e.replacement ? "place" : "retire") + "\t" + std::to_string(e.index) + "\t" +
                   escape(e.name) + "\n";
        return out;
    }
    static Journal read(const fs::path& file) {
        Journal journal;
        std::ifstream in(file);
        std::string line;
        if (!std::getline(in, line) || line != "swap 1")
            throw std::system_error(EINVAL, std::generic_category(),
                                    "unreadable swap journal " + file.string());
        while (std::getline(in, line)) {
            std::vector<std::string> fields;
            std::stringstream stream(line);
            for (std::string field; std::getline(stream, field, '\t');)
                fields.push_back(field);
            if (fields.size() == 2 && fields[0] == "keep")
                journal.keep = unescape(fields[1]);
            else if (fields.size() == 3 && (fields[0] == "place" || fields[0] == "retire"))
                journal.entries.push_back({std::stoul(fields[1]), unescape(fields[2]), fields[0] == "place"});
            else
                throw std::system_error(EINVAL, std::generic_category(),
                                        "unreadable swap journal " + file.string());
        }
        return journal;
    }
};

void writeDurably(const fs::path& file, const std::string& text) {
    const fs::path temp = file.string() + ".new";
    {
        Fd fd = io::createExclusive(temp);
        if (!fd) io::fail(errno, "cannot create", temp);
        if (const int error = io::writeAll(fd.get(), text.data(), text.size()); error != 0)
            io::fail(error, "cannot write", temp);
        if (::fsync(fd.get()) != 0) io::fail(errno, "cannot flush", temp);
        if (const int error = fd.close(); error != 0) io::fail(error, "cannot write", temp);
    }
    io::renameOrThrow(temp, file);
    syncFolder(file.parent_path());
}

// Puts back what a swap moved: placed files return to the staging folder, old ones to their places.
void rollBack(const fs::path& folder, const fs::path& staging, const Journal& journal) {
    for (auto it = journal.entries.rbegin(); it != journal.entries.rend(); ++it) {
        const fs::path target = folder / it->name;
        if (it->replacement && !present(newFile(staging, it->index)) && present(target))
            io::renameOrThrow(target, newFile(staging, it->index));
        if (present(oldFile(staging, it->index))) io::renameOrThrow(oldFile(staging, it->index), target);
    }
    syncFolder(folder);
    fs::remove_all(staging);
}

// After the mark: the old files, under their own names again, go to the kept folder or away, and the
// staging folder goes. Each step can be run again after a crash.
void finish(const fs::path& folder, const fs::path& staging, const Journal& journal) {
    if (journal.keep) {
        const fs::path kept = staging / "kept";
        bool any = present(kept);
        for (const auto& entry : journal.entries) {
            if (!present(oldFile(staging, entry.index))) continue;
            fs::create_directories((kept / entry.name).parent_path());
            io::renameOrThrow(oldFile(staging, entry.index), kept / entry.name);
            any = true;
        }
        if (any) {
            fs::remove_all(*journal.keep);
            io::renameOrThrow(kept, *journal.keep);
        }
    }
    fs::remove_all(staging);
    syncFolder(folder);
}

// Each folder between the base and the target must be a real folder, not a link that leads elsewhere.
void requirePlainPath(const fs::path& folder, const std::string& name) {
    fs::path at = folder;
    const fs::path relative(name);
    for (auto part = relative.begin(); part != relative.end(); ++part) {
        at /= *part;
        const bool last = std::next(part) == relative.end();
        struct stat info {};
        if (::lstat(at.c_str(), &info) != 0) return; // made fresh from here on
        if (S_ISLNK(info.st_mode)) io::fail(ELOOP, "a link stands where a file goes:", at);
        if (last && S_ISDIR(info.st_mode)) io::fail(EISDIR, "a folder stands where a file goes:", at);
        if (!last && !S_ISDIR(info.st_mode)) io::fail(ENOTDIR, "a file stands where a folder goes:", at);
    }
}

} // namespace

FileSetSwap::FileSetSwap(fs::path folder) : folder_(std::move(folder)) {
    std::string pattern = (folder_ / (std::string(kTempPrefix) + "SWAP.XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) io::fail(errno, "cannot make a staging folder in", folder_);
    staging_ = pattern;
    lock_ = FileLock::tryLock(staging_, true);
}

FileSetSwap::~FileSetSwap() {
    if (committed_) return;
    std::error_code ignored;
    fs::remove_all(staging_, ignored);
}

fs::path FileSetSwap::stage(const std::string& name) {
    items_.push_back({name, true});
    return newFile(staging_, items_.size() - 1);
}

void FileSetSwap::retire(const std::string& name) {
    items_.push_back({name, false});
}

void FileSetSwap::commit() {
    Journal journal;
    journal.keep = keep_;
    for (size_t i = 0; i < items_.size(); ++i) {
        if (items_[i].replacement) {
            requirePlainPath(folder_, items_[i].name);
            std::error_code ec;
            fs::create_directories((folder_ / items_[i].name).parent_path(), ec);
            if (ec) io::fail(ec.value(), "cannot make the folder", (folder_ / items_[i].name).parent_path());
        } else if (!fs::is_regular_file(fs::symlink_status(folder_ / items_[i].name))) {
            continue; // nothing there to retire
        }
        journal.entries.push_back({i, items_[i].name, items_[i].replacement});
    }
    fs::create_directory(staging_ / "old");
    writeDurably(staging_ / kJournal, journal.text());
    try {
        // Retired files first, then each replaced file aside and its new one in.
        for (int pass = 0; pass < 2; ++pass)
            for (const auto& entry : journal.entries) {
                if (entry.replacement != (pass == 1)) continue;
                const fs::path target = folder_ / entry.name;
                if (present(target)) io::renameOrThrow(target, oldFile(staging_, entry.index));
                if (entry.replacement) io::renameOrThrow(newFile(staging_, entry.index), target);
            }
        syncFolder(folder_);
        writeDurably(staging_ / kCommitted, "committed\n");
    } catch (...) {
        rollBack(folder_, staging_, journal);
        committed_ = true; // nothing left to remove
        throw;
    }
    committed_ = true;
    // The swap is done; what is left to tidy, recover() tidies if it cannot be done now.
    try {
        finish(folder_, staging_, journal);
    } catch (const std::exception&) {
    }
}

void FileSetSwap::recover(const fs::path& folder) {
    std::error_code ec;
    std::vector<fs::path> found;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (wildcardMatch(kStagingPattern, it->path().filename().string()) && it->is_directory(ec) &&
            !it->is_symlink(ec))
            found.push_back(it->path());
    for (const fs::path& staging : found) {
        const FileLock lock = FileLock::tryLock(staging, true);
        if (!lock) continue; // its swap is still running
        if (present(staging / kCommitted))
            finish(folder, staging, Journal::read(staging / kJournal));
        else if (present(staging / kJournal))
            rollBack(folder, staging, Journal::read(staging / kJournal));
        else
            fs::remove_all(staging);
    }
}

void removeStaleFiles(const fs::path& folder, const std::function<bool(std::string_view)>& isOurs) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (!isOurs(it->path().filename().string()) || !it->is_regular_file(ec) || it->is_symlink(ec))
            continue;
        try {
            if (FileLock::tryLock(it->path(), true)) fs::remove(it->path(), ec);
        } catch (const std::system_error&) {
            // gone meanwhile, or not ours to open
        }
    }
}

} // namespace fsutil
