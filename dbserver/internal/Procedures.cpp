#include "dbserver/internal/Procedures.h"

#include "dbserver/DbError.h"
#include "dbserver/internal/Dictionary.h"
#include "dbserver/internal/Manifest.h"
#include "dbserver/internal/Sqlite.h"
#include "fsutil/FileSetSwap.h"
#include "fsutil/Io.h"
#include "fsutil/Paths.h"
#include "fsutil/TempFile.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

namespace dbserver::procedures {
namespace {

namespace fs = std::filesystem;
using engine::Session;

// The files SQLite keeps beside a database while it is written.
constexpr const char* kSideFileSuffixes[] = {"-journal", "-wal", "-shm"};

struct CopyJob {
    CopyJob(fs::path from, fs::path to) : source(std::move(from)), target(std::move(to)) {}
    fs::path source;
    fs::path target;
    std::string hash; // of the copied bytes, filled in by the copy
    std::uint64_t size = 0;
};

std::unique_ptr<sqlite::Database> openReader(const fs::path& file) {
    try {
        // Read-write so that a hot journal left by a crashed writer can be rolled back first.
        return std::make_unique<sqlite::Database>(file, sqlite::Database::Mode::ReadWrite);
    } catch (const DbError&) {
        return std::make_unique<sqlite::Database>(file, sqlite::Database::Mode::ReadOnly);
    }
}

bool isWal(sqlite::Database& db) {
    auto mode = db.prepare("PRAGMA journal_mode");
    return mode.step() && fsutil::equalsIgnoringCase(mode.text(0), "wal");
}

// Copies a file's bytes, hashing them on the way, and flushes the copy.
void copyBytes(CopyJob& job) {
    const fs::path& source = job.source;
    const fs::path& target = job.target;
    const fsutil::Fd in = fsutil::io::openForReading(source);
    if (!in) throw DbError("cannot read " + source.string() + ": " + std::strerror(errno));
    fsutil::Fd out = fsutil::io::createExclusive(target);
    if (!out) throw DbError("cannot write " + target.string() + ": " + std::strerror(errno));
    manifest::Hasher hasher;
    job.size = 0;
    int error = fsutil::io::copyAll(in.get(), out.get(), [&](const void* data, size_t size) {
        hasher.update(data, size);
        job.size += size;
    });
    job.hash = hasher.hex();
    if (error == 0 && ::fsync(out.get()) != 0) error = errno;
    if (const int closed = out.close(); error == 0) error = closed;
    if (error != 0)
        throw DbError("cannot copy " + source.string() + " to " + target.string() + ": " +
                          std::strerror(error),
                      DbErrorKind::Io);
}

// Copies every source as of one moment. All files are read-locked before the first page is copied; while
// that happens, a write lock on each WAL database holds its writers back, as a WAL reader would not. So a
// writer's transaction, even one across several files, lands either wholly before the copy or wholly after.
void copySnapshot(std::vector<CopyJob>& jobs) {
    std::vector<std::unique_ptr<sqlite::Database>> readers;
    std::vector<sqlite::Transaction> reads; // ended before their databases close
    {
        std::vector<std::unique_ptr<sqlite::Database>> blockers;
        std::vector<sqlite::Transaction> writes;
        for (const auto& job : jobs) {
            readers.push_back(openReader(job.source));
            if (isWal(*readers.back())) {
                blockers.push_back(
                    std::make_unique<sqlite::Database>(job.source, sqlite::Database::Mode::ReadWrite));
                writes.emplace_back(*blockers.back(), "BEGIN IMMEDIATE");
            }
        }
        for (auto& reader : readers) {
            reads.emplace_back(*reader);
            reader->prepare("SELECT count(*) FROM sqlite_master").step();
        }
    }
    for (size_t i = 0; i < jobs.size(); ++i) {
        // While the read lock is held, a rollback-journal database file is exactly its committed state, so
        // its bytes can be copied as they are; a WAL database goes through SQLite's backup.
        if (!isWal(*readers[i])) {
            copyBytes(jobs[i]);
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
        ::chmod(jobs[i].target.c_str(), 0600);
        fsutil::syncFile(jobs[i].target);
        jobs[i].hash = manifest::hashFile(jobs[i].target);
        jobs[i].size = fs::file_size(jobs[i].target);
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

fs::path createFolder(const fs::path& folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec || !fs::is_directory(folder))
        throw DbError("cannot create the folder " + folder.string() + ": " +
                      (ec ? ec.message() : "a file of that name exists"));
    return folder;
}

// A table file must be a plain name beside its dictionary: a path would reach files outside the database.
bool isPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\") == std::string::npos &&
           !(name.size() >= 2 && name[1] == ':');
}

// The table files that a dictionary lists, each checked to be there.
std::vector<engine::TableFile> listedTables(const fs::path& dictionaryFile, sqlite::Database& db) {
    std::vector<engine::TableFile> result;
    std::set<std::string> seen;
    for (const auto& entry : dictionary::tables(db)) {
        if (!isPlainFileName(entry.file))
            throw DbError("the table file " + entry.file + " of table " + entry.name +
                          " is not a file name beside the data dictionary " + dictionaryFile.string());
        fs::path file = fsutil::resolveNative(dictionaryFile.parent_path() / entry.file);
        std::error_code ec;
        if (!fs::is_regular_file(file, ec))
            throw DbError("the table file " + file.string() + " of table " + entry.name + " is missing",
                          DbErrorKind::NotFound);
        if (!seen.insert(fsutil::toUpper(file.filename().string())).second)
            throw DbError("the table file " + file.string() + " is listed twice in " +
                          dictionaryFile.string());
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
        throw DbError("the " + std::string(what) + " " + file.string() + " is damaged: " + check,
                      DbErrorKind::Damaged);
}

// Runs work(i) for every i below count on at most as many threads as there are cores; the first failure
// is rethrown once all have ended.
template <typename Work> void inParallel(size_t count, Work&& work) {
    std::atomic<size_t> next = 0;
    std::exception_ptr failure;
    std::mutex mutex;
    auto run = [&] {
        for (size_t i; (i = next++) < count;) {
            try {
                work(i);
            } catch (...) {
                std::lock_guard lock(mutex);
                if (!failure) failure = std::current_exception();
            }
        }
    };
    std::vector<std::jthread> threads;
    const size_t extra = std::min<size_t>(std::max(1u, std::thread::hardware_concurrency()), count);
    for (size_t t = 1; t < extra; ++t)
        threads.emplace_back(run);
    run();
    threads.clear();
    if (failure) std::rethrow_exception(failure);
}

std::string lockRefusal(const fs::path& folder) {
    return "the folder " + folder.string() +
           " is in use: a database in it is open by another connection, or another backup or restore "
           "runs there";
}

// Writes a small file into the staging folder and flushes it.
void writeStaged(const fs::path& file, const std::string& text) {
    fsutil::Fd fd = fsutil::io::createExclusive(file);
    if (!fd) throw DbError("cannot write " + file.string() + ": " + std::strerror(errno));
    int error = fsutil::io::writeAll(fd.get(), text.data(), text.size());
    if (error == 0 && ::fsync(fd.get()) != 0) error = errno;
    if (const int closed = fd.close(); error == 0) error = closed;
    if (error != 0)
        throw DbError("cannot write " + file.string() + ": " + std::strerror(error), DbErrorKind::Io);
}

void backupInto(Session& session, const fs::path& folder) {
    createFolder(folder);
    const fsutil::FileLock lock = engine::lockFolder(folder, true, lockRefusal(folder));
    fsutil::FileSetSwap swap(folder);
    std::vector<CopyJob> jobs;
    {
        sqlite::Database db(session.location, sqlite::Database::Mode::ReadOnly);
        for (const auto& table : listedTables(session.location, db))
            jobs.push_back({table.file, swap.stage(table.file.filename().string())});
    }
    const std::string dictionaryName = session.location.filename().string();
    jobs.push_back({session.location, swap.stage(dictionaryName)});
    copySnapshot(jobs);
    manifest::Manifest list{dictionaryName, manifest::utcNow(), {}};
    for (const auto& job : jobs)
        list.files.push_back({job.source.filename().string(), job.size, job.hash});
    writeStaged(swap.stage(manifest::fileName(dictionaryName)), manifest::text(list));
    swap.commit();
}

// The files of the database at `dictionaryFile` that a restore moves out of the way: the dictionary, the
// tables it lists, and the side files of each. A dictionary that cannot be read gives just itself.
std::vector<std::string> databaseFiles(const fs::path& dictionaryFile) {
    std::vector<std::string> names{dictionaryFile.filename().string()};
    try {
        sqlite::Database db(dictionaryFile, sqlite::Database::Mode::ReadOnly);
        for (const auto& entry : dictionary::tables(db)) {
            if (!isPlainFileName(entry.file)) continue;
            const fs::path file = fsutil::resolveNative(dictionaryFile.parent_path() / entry.file);
            if (fs::is_regular_file(fs::symlink_status(file))) names.push_back(file.filename().string());
        }
    } catch (const DbError&) {
    }
    std::vector<std::string> withSideFiles;
    for (const auto& name : names) {
        withSideFiles.push_back(name);
        for (const char* suffix : kSideFileSuffixes)
            withSideFiles.push_back(name + suffix);
    }
    return withSideFiles;
}

DbError notRestorable(std::string_view why) {
    return DbError("the image is not restorable: " + std::string(why), DbErrorKind::Damaged);
}

const manifest::File* findListed(const manifest::Manifest& list, const std::string& name) {
    for (const auto& file : list.files)
        if (fsutil::equalsIgnoringCase(file.name, name)) return &file;
    return nullptr;
}

// The manifest must list the dictionary and its tables, and nothing else.
void requireListedExactly(const manifest::Manifest& list, const fs::path& dictionaryFile,
                          const std::vector<engine::TableFile>& tables) {
    std::vector<std::string> names{dictionaryFile.filename().string()};
    for (const auto& table : tables)
        names.push_back(table.file.filename().string());
    for (const auto& name : names)
        if (!findListed(list, name))
            throw DbError("the image's manifest does not list its file " +
                          (dictionaryFile.parent_path() / name).string());
    for (const auto& file : list.files)
        if (std::none_of(names.begin(), names.end(),
                         [&](const auto& name) { return fsutil::equalsIgnoringCase(name, file.name); }))
            throw DbError("the image's manifest lists " + file.name + ", which is not a file of the image " +
                          dictionaryFile.string());
    // A file of another size is refused before anything is copied; the hashes are compared as it is.
    for (const auto& name : names) {
        const fs::path file = fsutil::resolveNative(dictionaryFile.parent_path() / name);
        std::error_code ec;
        if (fs::file_size(file, ec) != findListed(list, name)->size)
            throw DbError(
                "the image file " + file.string() +
                    " does not match the image's manifest: it was changed or damaged after the backup",
                DbErrorKind::Damaged);
    }
}

// SQLite's quick check of a staged copy; the error names the image file it came from.
void requireQuickCheck(const fs::path& staged, const fs::path& shownAs) {
    std::string check;
    try {
        sqlite::Database db(staged, sqlite::Database::Mode::ReadOnly);
        db.exec("PRAGMA mmap_size=1073741824; PRAGMA cache_size=-65536");
        auto rows = db.prepare("PRAGMA quick_check");
        while (rows.step())
            check += (check.empty() ? "" : "; ") + rows.text(0);
    } catch (const DbError& error) {
        check = error.what();
    }
    if (check != "ok") throw DbError("the image file " + shownAs.string() + " is damaged: " + check);
}

void restoreInto(Session& session, const fs::path& source, const std::string& sourcePassword,
                 const std::string& destination) {
    std::error_code ec;
    if (!fs::is_regular_file(source, ec))
        throw DbError("the source data dictionary " + source.string() + " does not exist",
                      DbErrorKind::NotFound);
    {
        sqlite::Database db(source, sqlite::Database::Mode::ReadOnly);
        if (!dictionary::isDictionary(db)) throw DbError(source.string() + " is not a data dictionary");
        if (!dictionary::checkLogin(db, dictionary::kAdminUser, sourcePassword))
            throw DbError("wrong password for the source data dictionary " + source.string(),
                          DbErrorKind::Login);
    }
    // An image with a manifest is checked by its hashes as it is staged, then by SQLite's quick check; one
    // from elsewhere by the full integrity check first.
    std::optional<manifest::Manifest> imageManifest;
    std::vector<engine::TableFile> tables;
    try {
        imageManifest = manifest::readBeside(source);
        if (imageManifest) {
            sqlite::Database db(source, sqlite::Database::Mode::ReadOnly);
            tables = listedTables(source, db);
            requireListedExactly(*imageManifest, source, tables);
        } else {
            tables = verifyDatabase(source);
        }
    } catch (const DbError& error) {
        throw notRestorable(error.what());
    }

    const fs::path target = fsutil::resolve(destination);
    if (fs::is_directory(fs::symlink_status(target)))
        throw DbError("the destination " + destination + " is a folder, not a data dictionary file");
    const fs::path folder = createFolder(target.parent_path().empty() ? fs::path(".") : target.parent_path());
    // The session's own shared lock would stand in the way when the image lies in the destination folder.
    if (fs::equivalent(session.folder().empty() ? fs::path(".") : session.folder(), folder, ec))
        session.lock = {};
    const fsutil::FileLock lock =
        engine::lockFolder(folder, true,
                           "the destination database " + destination +
                               " is open by another connection, or a backup or restore runs in its folder");

    const std::string dictionaryName = target.filename().string();
    fsutil::FileSetSwap swap(folder);
    swap.keepReplacedIn(folder / (dictionaryName + ".pre-restore"));
    std::vector<CopyJob> jobs;
    std::set<std::string> placed;
    for (const auto& table : tables) {
        const std::string name = table.file.filename().string();
        jobs.push_back({table.file, swap.stage(name)});
        placed.insert(name);
    }
    jobs.push_back({source, swap.stage(dictionaryName)});
    placed.insert(dictionaryName);
    // The whole old database goes aside, and with it any file whose name differs from a new one in case
    // only, which the program's name rules would otherwise mistake for it.
    std::vector<std::string> retired =
        fs::exists(target) ? databaseFiles(target) : std::vector<std::string>{};
    for (const auto& name : placed) {
        const fs::path existing = fsutil::resolveNative(folder / name);
        if (existing.filename() != name) retired.push_back(existing.filename().string());
        for (const char* suffix : kSideFileSuffixes)
            retired.push_back(name + suffix);
    }
    for (const auto& name : std::set<std::string>(retired.begin(), retired.end()))
        if (!placed.count(name)) swap.retire(name);
    copySnapshot(jobs);
    if (imageManifest) {
        try {
            for (const auto& job : jobs) {
                const manifest::File& listed = *findListed(*imageManifest, job.source.filename().string());
                if (listed.size != job.size || listed.hash != job.hash)
                    throw DbError("the image file " + job.source.string() +
                                      " does not match the image's manifest: it was changed or damaged after "
                                      "the backup",
                                  DbErrorKind::Damaged);
            }
            inParallel(jobs.size(), [&](size_t i) { requireQuickCheck(jobs[i].target, jobs[i].source); });
        } catch (const DbError& error) {
            throw notRestorable(error.what());
        }
    }
    swap.commit();
}

template <typename Work>
void reportFailures(std::string_view procedure, const std::string& path, Work&& work) {
    try {
        work();
    } catch (const DbError& error) {
        throw DbError(std::string(procedure) + ": ", error); // the procedure's name, once
    } catch (const std::system_error& error) {
        throw DbError(std::string(procedure) + " failed for " + path + ": " + error.what(), DbErrorKind::Io);
    } catch (const std::exception& error) {
        throw DbError(std::string(procedure) + " failed for " + path + ": " + error.what());
    }
}

} // namespace

void verifyImage(const fs::path& dictionaryFile) {
    std::error_code ec;
    if (!fs::is_regular_file(dictionaryFile, ec))
        throw DbError("the image's data dictionary " + dictionaryFile.string() + " does not exist",
                      DbErrorKind::NotFound);
    const auto list = manifest::readBeside(dictionaryFile);
    if (!list)
        throw DbError("the image " + dictionaryFile.string() + " has no manifest", DbErrorKind::NotFound);
    std::vector<engine::TableFile> tables;
    {
        sqlite::Database db(dictionaryFile, sqlite::Database::Mode::ReadOnly);
        if (!dictionary::isDictionary(db))
            throw DbError(dictionaryFile.string() + " is not a data dictionary");
        tables = listedTables(dictionaryFile, db);
    }
    requireListedExactly(*list, dictionaryFile, tables);
    std::vector<fs::path> files{dictionaryFile};
    for (const auto& table : tables)
        files.push_back(table.file);
    inParallel(files.size(), [&](size_t i) {
        const manifest::File& listed = *findListed(*list, files[i].filename().string());
        if (fs::file_size(files[i]) != listed.size || manifest::hashFile(files[i]) != listed.hash)
            throw DbError(
                "the image file " + files[i].string() +
                    " does not match the image's manifest: it was changed or damaged after the backup",
                DbErrorKind::Damaged);
    });
}

std::vector<engine::TableFile> verifyDatabase(const fs::path& dictionaryFile) {
    requireIntact(dictionaryFile, "data dictionary");
    std::vector<engine::TableFile> tables;
    {
        sqlite::Database db(dictionaryFile, sqlite::Database::Mode::ReadOnly);
        if (!dictionary::isDictionary(db))
            throw DbError(dictionaryFile.string() + " is not a data dictionary");
        tables = listedTables(dictionaryFile, db);
    }
    // The checks read every page and index; one thread per core keeps the cores busy.
    inParallel(tables.size(), [&](size_t i) { requireIntact(tables[i].file, "table file"); });
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
                   [&] { restoreInto(session, fsutil::resolve(*arguments[0]), *arguments[1], destination); });
}

} // namespace dbserver::procedures
