#include "dbserver/internal/Engine.h"

#include "dbserver/DbError.h"
#include "dbserver/internal/Dictionary.h"
#include "dbserver/internal/Procedures.h"
#include "dbserver/internal/StatementParser.h"
#include "fsutil/FileSetSwap.h"
#include "fsutil/Paths.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>

namespace dbserver::engine {

fsutil::FileLock lockFolder(const fs::path& folder, bool exclusive, const std::string& refusal) {
    // A short wait rides out another connection's recovery, which holds the lock for a moment only.
    for (int attempt = 0; attempt < 40; ++attempt) {
        try {
            if (fsutil::FileLock lock = fsutil::FileLock::tryLock(folder, true)) {
                fsutil::FileSetSwap::recover(folder);
                if (exclusive || lock.share()) return lock;
            } else if (!exclusive) {
                if (fsutil::FileLock shared = fsutil::FileLock::tryLock(folder, false)) return shared;
            }
        } catch (const std::system_error& error) {
            throw DbError("cannot open the folder " + folder.string() + ": " + error.what(), DbErrorKind::Io);
        }
        if (exclusive) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    throw DbError(refusal, DbErrorKind::Busy);
}

std::vector<TableFile> Session::tables() const {
    std::vector<TableFile> result;
    if (kind == Kind::Dictionary) {
        sqlite::Database db(location, sqlite::Database::Mode::ReadOnly);
        for (const auto& entry : dictionary::tables(db))
            result.push_back({entry.name, fsutil::resolveNative(folder() / entry.file)});
        return result;
    }
    std::error_code ec;
    for (fs::directory_iterator it(location, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path& file = it->path();
        if (it->is_regular_file() &&
            fsutil::equalsIgnoringCase(file.extension().string(), dictionary::kTableExtension))
            result.push_back({file.stem().string(), file});
    }
    std::sort(result.begin(), result.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return result;
}

fs::path Session::tableFile(std::string_view tableName) const {
    if (kind == Kind::Dictionary) {
        for (auto& table : tables())
            if (fsutil::equalsIgnoringCase(table.name, tableName)) return table.file;
        throw DbError("Table " + std::string(tableName) + " is not in the data dictionary " + connectPath);
    }
    fs::path file =
        fsutil::resolveNative(location / (std::string(tableName) + std::string(dictionary::kTableExtension)));
    std::error_code ec;
    if (!fs::is_regular_file(file, ec))
        throw DbError("Table " + std::string(tableName) + " not found in the folder " + connectPath);
    return file;
}

bool isDictionaryPath(std::string_view path) {
    return fsutil::toUpper(path).find(".ADD") != std::string::npos;
}

std::unique_ptr<Session> connect(const std::string& path, bool localServerAllowed, const std::string& user,
                                 const std::string& password) {
    if (path.empty()) throw DbError("Must specify connection string before getting a server connection.");
    if (!localServerAllowed)
        throw DbError("No remote server is available to open " + path + "; the local server is not allowed");
    auto session = std::make_unique<Session>();
    session->connectPath = path;
    session->location = fsutil::resolve(path);
    std::error_code ec;
    const std::string busy = "The database " + path + " is being restored or backed up by another connection";
    if (!isDictionaryPath(path)) {
        if (!fs::is_directory(session->location, ec))
            throw DbError("The folder " + path + " does not exist or is not a folder", DbErrorKind::NotFound);
        session->lock = lockFolder(session->location, false, busy);
        return session;
    }
    session->kind = Kind::Dictionary;
    session->user = user;
    const fs::path folder = session->folder().empty() ? fs::path(".") : session->folder();
    if (fs::is_directory(folder, ec)) {
        session->lock = lockFolder(folder, false, busy);
        session->location = fsutil::resolve(path); // a recovery may have put the dictionary back
    }
    if (!fs::is_regular_file(session->location, ec))
        throw DbError("The data dictionary " + path + " does not exist", DbErrorKind::NotFound);
    {
        sqlite::Database db(session->location, sqlite::Database::Mode::ReadOnly);
        if (!dictionary::isDictionary(db)) throw DbError("The file " + path + " is not a data dictionary");
        if (!dictionary::checkLogin(db, user, password))
            throw DbError("Login refused for user '" + user + "' on the data dictionary " + path +
                              ": wrong user name or password",
                          DbErrorKind::Login);
    }
    return session;
}

void execute(Session& session, std::string_view statement) {
    using Procedure = void (*)(Session&, const procedures::Arguments&);
    static const std::map<std::string, Procedure> known = {
        {"SP_BACKUPDATABASE", procedures::backupDatabase},
        {"SP_RESTOREDATABASE", procedures::restoreDatabase},
    };
    const ProcedureCall call = parseStatement(statement);
    const auto procedure = known.find(fsutil::toUpper(call.name));
    if (procedure == known.end()) throw DbError("Unknown procedure " + call.name);
    procedure->second(session, call.arguments);
}

} // namespace dbserver::engine
