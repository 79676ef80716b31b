#include "dbserver/internal/Engine.h"

#include "dbserver/DbComponents.h"
#include "dbserver/internal/Dictionary.h"
#include "dbserver/internal/Procedures.h"
#include "dbserver/internal/StatementParser.h"
#include "fsutil/Paths.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <map>

namespace dbserver::engine {

std::unique_ptr<FileLock> FileLock::tryLock(const fs::path& file, bool exclusive) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw DbError("cannot open " + file.string());
    if (::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<FileLock>(new FileLock(fd));
}

FileLock::~FileLock() {
    ::close(fd_);
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

std::unique_ptr<Session> connect(const std::string& path, unsigned serverTypes, const std::string& user,
                                 const std::string& password) {
    if (path.empty()) throw DbError("Must specify connection string before getting a server connection.");
    if ((serverTypes & stLOCAL) == 0)
        throw DbError("No remote server is available to open " + path + "; the local server is not allowed");
    auto session = std::make_unique<Session>();
    session->connectPath = path;
    session->location = fsutil::resolve(path);
    std::error_code ec;
    if (fsutil::toUpper(path).find(".ADD") == std::string::npos) {
        if (!fs::is_directory(session->location, ec))
            throw DbError("The folder " + path + " does not exist or is not a folder");
        return session;
    }
    session->kind = Kind::Dictionary;
    session->user = user;
    if (!fs::is_regular_file(session->location, ec))
        throw DbError("The data dictionary " + path + " does not exist");
    {
        sqlite::Database db(session->location, sqlite::Database::Mode::ReadOnly);
        if (!dictionary::isDictionary(db)) throw DbError("The file " + path + " is not a data dictionary");
        if (!dictionary::checkLogin(db, user, password))
            throw DbError("Login refused for user '" + user + "' on the data dictionary " + path +
                          ": wrong user name or password");
    }
    session->lock = FileLock::tryLock(session->location, false);
    if (!session->lock)
        throw DbError("The data dictionary " + path + " is being restored by another connection");
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
