#pragma once
// The embedded server's client engine: sessions opened by the connection component, and the statements run
// on them.
#include "fsutil/Io.h"

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace dbserver::engine {

namespace fs = std::filesystem;

enum class Kind { Dictionary, Folder };

// Every open session holds a shared lock on its database's folder; a restore into a folder or a backup into
// it holds the exclusive one, so neither runs under an open database, and nobody opens one while they run.
// Whoever takes the exclusive lock first finishes or undoes what a killed restore or backup left there.
fsutil::FileLock lockFolder(const fs::path& folder, bool exclusive, const std::string& refusal);

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
    fsutil::FileLock lock; // shared, on folder()

    fs::path folder() const { return kind == Kind::Dictionary ? location.parent_path() : location; }
    std::vector<TableFile> tables() const;
    fs::path tableFile(std::string_view tableName) const; // throws when the table is unknown
};

// ".ADD" anywhere in the upper-cased path makes a data dictionary connection; any other path a folder one.
bool isDictionaryPath(std::string_view path);

std::unique_ptr<Session> connect(const std::string& path, bool localServerAllowed, const std::string& user,
                                 const std::string& password);

void execute(Session& session, std::string_view statement);

} // namespace dbserver::engine
