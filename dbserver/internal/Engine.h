#pragma once
// The embedded server's client engine: sessions opened by the connection component, and the statements run
// on them.
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace dbserver::engine {

namespace fs = std::filesystem;

enum class Kind { Dictionary, Folder };

// An flock(2) lock on a file, held while the object lives.
class FileLock {
  public:
    // Returns an empty lock when the file is locked the other way by someone else.
    static std::unique_ptr<FileLock> tryLock(const fs::path& file, bool exclusive);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

  private:
    explicit FileLock(int fd) : fd_(fd) {}
    int fd_;
};

struct TableFile {
    std::string name;
    fs::path file;
};

class Session {
  public:
    Kind kind = Kind::Folder;
    std::string connectPath;
    fs::path location; // the dictionary file, or the folder
    std::string user;
    std::unique_ptr<FileLock> lock;

    fs::path folder() const { return kind == Kind::Dictionary ? location.parent_path() : location; }
    std::vector<TableFile> tables() const;
    fs::path tableFile(std::string_view tableName) const; // throws when the table is unknown
};

std::unique_ptr<Session> connect(const std::string& path, unsigned serverTypes, const std::string& user,
                                 const std::string& password);

void execute(Session& session, std::string_view statement);

} // namespace dbserver::engine
