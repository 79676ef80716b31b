#include "dbserver/internal/Procedures.h"

#include "dbserver/DbError.h"
#include "dbserver/internal/Dictionary.h"
#include "dbserver/internal/Sqlite.h"
#include "fsutil/Paths.h"
#include "fsutil/TempFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <system_error>

namespace dbserver::procedures {
namespace {

namespace fs = std::filesystem;
using engine::Session;

struct CopyJob {
    fs::path source;
    fs::path target;
};

std::unique_ptr<sqlite::Database> openReader(const fs::path& file) {
    try {
        // Read-write so that a hot journal left by a crashed writer can be rolled back first.
        return std::make_unique<sqlite::Database>(file, sqlite::Database::Mode::ReadWrite);
    } catch (const DbError&) {
        return std::make_unique<sqlite::Database>(file, sqlite::Database::Mode::ReadOnly);
    }
}

void copyBytes(const fs::path& source, const fs::path& target) {
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) throw DbError("cannot read " + source.string() + ": " + std::strerror(errno));
    const int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        const int error = errno;
        ::close(in);
        throw DbError("cannot write " + target.string() + ": " + std::strerror(error));
    }
    int error = 0;
    for (;;) {
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
        if (n == 0) break;
        if (n < 0) {
            error = errno;
            break;
        }
    }
    ::close(in);
    if (::close(out) != 0 && error == 0) error = errno;
    if (error != 0) throw DbError("cannot write " + target.string() + ": " + std::strerror(error));
}

// Copies every source as of one moment: all files are read-locked before the first page is copied, so a
// writer's transaction lands either wholly before the copy or wholly after it.
void copySnapshot(const std::vector<CopyJob>& jobs) {
    std::vector<std::unique_ptr<sqlite::Database>> readers;
    std::vector<sqlite::Transaction> reads; // ended before their databases close
    for (const auto& job : jobs) {
        readers.push_back(openReader(job.source));
        reads.emplace_back(*readers.back());
        readers.back()->prepare("SELECT count(*) FROM sqlite_master").step();
    }
    for (size_t i = 0; i < jobs.size(); ++i) {
        std::error_code ignored;
        fs::remove(jobs[i].target, ignored);
        // While the read lock is held, a rollback-journal database file is exactly its committed state, so
        // its bytes can be copied as they are; a WAL database goes through SQLite's backup.
        auto mode = readers[i]->prepare("PRAGMA journal_mode");
        if (mode.step() && !fsutil::equalsIgnoringCase(mode.text(0), "wal")) {
            copyBytes(jobs[i].source, jobs[i].target);
            fsutil::syncFile(jobs[i].target);
            continue;
        }
        {
            sqlite::Database target(jobs[i].target, sqlite::Database::Mode::Create);
            target.exec("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF");
            sqlite3_backup* backup =
                sqlite3_backup_init(target.handle(), "main", readers[i]->handle(), "main");
            if (!backup) target.fail("cannot write");
            const int rc = sqlite3_backup_step(backup, -1);
            sqlite3_backup_finish(backup);
            if (rc != SQLITE_DONE) target.fail("cannot write");
        }
        fsutil::syncFile(jobs[i].target);
    }
}

void requireAdmin(const Session& session, std::string_view procedure) {
    if (session.kind != engine::Kind::Dictionary)
        throw DbError(std::string(procedure) +
                      " needs a data dictionary connection, not the folder connection " +
                      session.connectPath);
    if (!fsutil::equalsIgnoringCase(session.user, dictionary::kAdminUser))
        throw DbError(std::string(procedure) + " may be run by " + std::string(dictionary::kAdminUser) +
                      " only, not by " + session.user);
}

void requireArguments(const Arguments& arguments, size_t count, std::string_view procedure,
                      std::string_view signature) {
    bool valid = arguments.size() == count;
    for (size_t i = 0; valid && i + 1 < count; ++i)
        valid = arguments[i].has_value();
    if (valid && arguments.back() && !arguments.back()->empty())
        throw DbError(std::string(procedure) + ": unknown options '" + *arguments.back() + "'");
    if (!valid) throw DbError(std::string(procedure) + " takes " + std::string(signature));
}

fs::path createFolder(const fs::path& folder, std::string_view procedure) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec || !fs::is_directory(folder))
        throw DbError(std::string(procedure) + ": cannot create the folder " + folder.string() + ": " +
                      (ec ? ec.message() : "a file of that name exists"));
    return folder;
}

// The table files that a dictionary lists, each checked to be there.
std::vector<engine::TableFile> listedTables(const fs::path& dictionaryFile, sqlite::Database& db) {
    std::vector<engine::TableFile> result;
    for (const auto& entry : dictionary::tables(db)) {
        fs::path file = fsutil::resolveNative(dictionaryFile.parent_path() / entry.file);
        std::error_code ec;
        if (!fs::is_regular_file(file, ec))
            throw DbError("the table file " + file.string() + " of table " + entry.name + " is missing");
        result.push_back({entry.name, file});
    }
    return result;
}

void requireIntact(const fs::path& file, std::string_view what) {
    std::string check;
    try {
        sqlite::Database db(file, sqlite::Database::Mode::ReadOnly);
        // The check visits every page, the indexes' in key order: reading through a map and a larger cache
        // spares most of the system calls.
        db.exec("PRAGMA mmap_size=1073741824; PRAGMA cache_size=-65536");
        check = db.integrityCheck();
    } catch (const DbError& error) {
        check = error.what();
    }
    if (check != "ok")
        throw DbError("the " + std::string(what) + " " + file.string() + " is damaged: " + check);
}

void backupInto(Session& session, const fs::path& folder) {
    createFolder(folder, "sp_BackupDatabase");
    std::vector<CopyJob> jobs;
    std::vector<fsutil::TempFile> temps;
    std::vector<fs::path> finals;
    auto add = [&](const fs::path& source) {
        const std::string name = source.filename().string();
        temps.emplace_back(folder / ("TEMP_" + name));
        jobs.push_back({source, temps.back().path()});
        finals.push_back(folder / name);
    };
    add(session.location);
    {
        sqlite::Database db(session.location, sqlite::Database::Mode::ReadOnly);
        for (const auto& table : listedTables(session.location, db))
            add(table.file);
    }
    copySnapshot(jobs);
    for (size_t i = 0; i < temps.size(); ++i)
        temps[i].commitTo(finals[i]);
    fsutil::syncFolder(folder);
}

// Puts the staged files in place of the destination's; on any failure the old files are put back.
class Replacement {
  public:
    explicit Replacement(fs::path folder) : folder_(std::move(folder)) {}
    ~Replacement() {
        if (committed_) return;
        std::error_code ignored;
        for (auto it = placed_.rbegin(); it != placed_.rend(); ++it)
            fs::remove(*it, ignored);
        for (auto it = movedAside_.rbegin(); it != movedAside_.rend(); ++it)
            fs::rename(it->second, it->first, ignored);
    }
    void place(fsutil::TempFile& staged, const std::string& name) {
        const fs::path existing = fsutil::resolveNative(folder_ / name);
        if (fs::exists(existing)) {
            const fs::path aside = folder_ / ("TEMP_OLD_" + existing.filename().string());
            fs::rename(existing, aside);
            movedAside_.emplace_back(existing, aside);
        }
        const fs::path target = folder_ / name;
        staged.commitTo(target);
        placed_.push_back(target);
    }
    void commit() {
        committed_ = true;
        std::error_code ignored;
        for (const auto& moved : movedAside_)
            fs::remove(moved.second, ignored);
    }

  private:
    fs::path folder_;
    std::vector<fs::path> placed_;
    std::vector<std::pair<fs::path, fs::path>> movedAside_;
    bool committed_ = false;
};

void restoreInto(const fs::path& source, const std::string& sourcePassword, const std::string& destination) {
    constexpr std::string_view procedure = "sp_RestoreDatabase";
    std::error_code ec;
    if (!fs::is_regular_file(source, ec))
        throw DbError("sp_RestoreDatabase: the source data dictionary " + source.string() +
                      " does not exist");
    {
        sqlite::Database db(source, sqlite::Database::Mode::ReadOnly);
        if (!dictionary::isDictionary(db))
            throw DbError("sp_RestoreDatabase: " + source.string() + " is not a data dictionary");
        if (!dictionary::checkLogin(db, dictionary::kAdminUser, sourcePassword))
            throw DbError("sp_RestoreDatabase: wrong password for the source data dictionary " +
                          source.string());
    }
    std::vector<engine::TableFile> tables;
    try {
        tables = verifyDatabase(source);
    } catch (const DbError& error) {
        throw DbError("sp_RestoreDatabase: the image is not restorable: " + std::string(error.what()));
    }

    const fs::path target = fsutil::resolve(destination);
    const fs::path folder =
        createFolder(target.parent_path().empty() ? fs::path(".") : target.parent_path(), procedure);
    std::unique_ptr<engine::FileLock> lock;
    if (fs::exists(target)) {
        lock = engine::FileLock::tryLock(target, true);
        if (!lock)
            throw DbError("sp_RestoreDatabase: the destination database " + destination +
                          " is open by another connection");
    }

    std::vector<CopyJob> jobs;
    std::vector<fsutil::TempFile> staged;
    std::vector<std::string> names;
    auto add = [&](const fs::path& file, std::string name) {
        staged.emplace_back(folder / ("TEMP_" + name));
        jobs.push_back({file, staged.back().path()});
        names.push_back(std::move(name));
    };
    add(source, target.filename().string());
    for (const auto& table : tables)
        add(table.file, table.file.filename().string());
    copySnapshot(jobs);

    Replacement replacement(folder);
    for (size_t i = 0; i < staged.size(); ++i)
        replacement.place(staged[i], names[i]);
    fsutil::syncFolder(folder);
    replacement.commit();
}

template <typename Work>
void reportFailures(std::string_view procedure, const std::string& path, Work&& work) {
    try {
        work();
    } catch (const DbError& error) {
        if (std::string_view(error.what()).starts_with(procedure)) throw;
        throw DbError(std::string(procedure) + ": " + error.what());
    } catch (const std::exception& error) {
        throw DbError(std::string(procedure) + " failed for " + path + ": " + error.what());
    }
}

} // namespace

std::vector<engine::TableFile> verifyDatabase(const fs::path& dictionaryFile) {
    requireIntact(dictionaryFile, "data dictionary");
    std::vector<engine::TableFile> tables;
    {
        sqlite::Database db(dictionaryFile, sqlite::Database::Mode::ReadOnly);
        if (!dictionary::isDictionary(db))
            throw DbError(dictionaryFile.string() + " is not a data dictionary");
        tables = listedTables(dictionaryFile, db);
    }
    // The checks read every page and index; one thread per table file keeps the cores busy.
    std::vector<std::future<void>> checks;
    for (const auto& table : tables)
        checks.push_back(
            std::async(std::launch::async, [&table] { requireIntact(table.file, "table file"); }));
    for (auto& check : checks)
        check.get();
    return tables;
}

void backupDatabase(Session& session, const Arguments& arguments) {
    requireAdmin(session, "sp_BackupDatabase");
    requireArguments(arguments, 2, "sp_BackupDatabase", "(destination folder, NULL)");
    const std::string& folder = *arguments[0];
    if (folder.empty()) throw DbError("sp_BackupDatabase: the destination folder is empty");
    reportFailures("sp_BackupDatabase", folder, [&] { backupInto(session, fsutil::resolve(folder)); });
}

void restoreDatabase(Session& session, const Arguments& arguments) {
    requireAdmin(session, "sp_RestoreDatabase");
    requireArguments(arguments, 4, "sp_RestoreDatabase",
                     "(source dictionary, source password, destination dictionary, NULL)");
    const std::string& destination = *arguments[2];
    if (destination.empty()) throw DbError("sp_RestoreDatabase: the destination path is empty");
    reportFailures("sp_RestoreDatabase", destination,
                   [&] { restoreInto(fsutil::resolve(*arguments[0]), *arguments[1], destination); });
}

} // namespace dbserver::procedures
