#include "dbserver/DbAdmin.h"
#include "dbserver/internal/Manifest.h"
#include "dbserver/internal/Sqlite.h"
#include "fsutil/Io.h"
#include "tests/TestSupport.h"
#include "workspace/DemoWorkspace.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <thread>

using namespace dbserver;
using testsupport::folderContents;
using testsupport::TempDir;

namespace {

constexpr const char* kPassword = "KESTA7946";

std::string backupStatement(const std::string& folder) {
    return "EXECUTE PROCEDURE sp_BackupDatabase('" + folder + "', NULL )";
}

std::string restoreStatement(const std::string& image, const std::string& password,
                             const std::string& target) {
    return "EXECUTE PROCEDURE sp_RestoreDatabase('" + image + "','" + password + "','" + target + "', NULL )";
}

std::string quoted(std::string path) {
    for (size_t at = path.find('\''); at != std::string::npos; at = path.find('\'', at + 2))
        path.insert(at, "'");
    return path;
}

// A company database of two tables: the dictionary and its tables in one folder.
class ServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dictionary = dir / "company/abc.add";
        admin::createDictionary(dictionary, kPassword);
        auto connection = connect(dictionary);
        admin::createTable(*connection, "CUSTOMER", {{"ID", "INTEGER"}, {"NAME", "CHAR(20)"}},
                           {{"PRIMARY", {"ID"}, true}});
        admin::createTable(*connection, "INVOICE", {{"NO", "INTEGER"}, {"CUSTOMER", "INTEGER"}}, {});
        admin::insertRows(*connection, "CUSTOMER", {{"1", "Alpha"}, {"2", "Beta"}});
        admin::insertRows(*connection, "INVOICE", {{"10", "1"}, {"11", "2"}});
    }

    std::unique_ptr<TDbConnection> connect(const std::string& path, const std::string& password = kPassword) {
        auto connection = std::make_unique<TDbConnection>("con1");
        connection->setConnectPath(path);
        connection->Username = "DBSYS";
        connection->Password = password;
        connection->setIsConnected(true);
        return connection;
    }

    void exec(TDbConnection& connection, const std::string& statement) {
        TDbQuery query("dbqry1");
        query.Connection = &connection;
        query.SQL.Add(statement);
        query.ExecSQL();
    }

    std::string dumpOf(const std::string& path) { return admin::dump(*connect(path)); }

    void backup(const std::string& folder) { exec(*connect(dictionary), backupStatement(quoted(folder))); }

    void restore(const std::string& image, const std::string& target,
                 const std::string& password = kPassword) {
        auto connection = connect(image);
        exec(*connection, restoreStatement(quoted(image), password, quoted(target)));
    }

    TempDir dir;
    std::string dictionary;
};

template <typename Call> std::string errorOf(Call&& call) {
    try {
        call();
    } catch (const DbError& error) {
        return error.what();
    }
    return "(no error)";
}

TEST(ConnectionTest, PathDecidesTheKindOfConnection) {
    const std::pair<const char*, bool> cases[] = {
        {"D:\\DATA\\ABC.ADD", true}, {"d:\\data\\abc.add", true}, {"C:\\X.Add\\folder", true},
        {"D:\\DATA\\", false},       {"abc.ad", false},
    };
    for (const auto& [path, isDictionary] : cases) {
        TDbConnection connection;
        connection.setConnectPath(path);
        EXPECT_EQ(connection.IsDictionaryConnection(), isDictionary) << path;
    }
}

TEST(ConnectionTest, EmptyPathAndPathChangeWhileConnectedAreRefused) {
    TempDir dir;
    TDbConnection connection;
    EXPECT_EQ(errorOf([&] { connection.setIsConnected(true); }),
              "Must specify connection string before getting a server connection.");
    EXPECT_FALSE(connection.IsConnected());

    connection.setConnectPath(dir.path().string());
    connection.Username = "ignored on a folder connection";
    connection.Password = "also ignored";
    connection.setIsConnected(true);
    EXPECT_TRUE(connection.IsConnected());
    EXPECT_EQ(errorOf([&] { connection.setConnectPath("elsewhere"); }),
              "The TDbConnection.ConnectPath may not be changed when IsConnected is TRUE");
    connection.setIsConnected(false);
    connection.setIsConnected(false); // closing twice is harmless
    connection.setConnectPath("elsewhere");
}

// Callers tell failures apart by their kind, not their text; SQLite's own code comes with its failures.
TEST_F(ServerTest, ErrorsCarryTheirKindAndTransactionsCommitOnce) {
    const auto kindOf = [](auto&& call) {
        try {
            call();
        } catch (const DbError& error) {
            return error.kind();
        }
        return DbErrorKind::Other;
    };
    EXPECT_EQ(kindOf([&] { connect(dir / "none/x.add"); }), DbErrorKind::NotFound);
    EXPECT_EQ(kindOf([&] { connect(dictionary, "wrong"); }), DbErrorKind::Login);
    testsupport::writeFile(dir / "junk.add", std::string(4096, 'x'));
    try {
        sqlite::Database db(dir / "junk.add", sqlite::Database::Mode::ReadOnly);
        db.prepare("SELECT 1 FROM sqlite_master").step();
        ADD_FAILURE() << "junk opened as a database";
    } catch (const DbError& error) {
        EXPECT_EQ(error.kind(), DbErrorKind::Damaged);
        EXPECT_EQ(error.sqliteCode(), SQLITE_NOTADB);
    }
    sqlite::Database db(dir / "t.db", sqlite::Database::Mode::Create);
    sqlite::Transaction transaction(db);
    transaction.commit();
    EXPECT_THROW(transaction.commit(), DbError);
}

TEST_F(ServerTest, LoginChecksUserAndPassword) {
    EXPECT_NO_THROW(connect(dictionary));
    EXPECT_NO_THROW(connect(dir / "COMPANY/ABC.ADD")) << "names match without regard to case";
    TDbConnection connection;
    connection.setConnectPath(dictionary);
    connection.Username = "DBSYS";
    connection.Password = "kesta7946";
    EXPECT_NE(errorOf([&] { connection.setIsConnected(true); }).find("wrong user name or password"),
              std::string::npos);
    EXPECT_FALSE(connection.IsConnected());
    EXPECT_EQ(testsupport::readFile(dictionary).find(kPassword), std::string::npos)
        << "password stored in clear";
}

TEST_F(ServerTest, ClearErrorsNameWhatFailed) {
    testsupport::writeFile(dir / "notadb.add", "this is not a database");
    testsupport::writeFile(dir / "blocker", "a file where a folder should be");
    const std::pair<std::string, std::string> cases[] = {
        {dir / "missing/none.add", "The data dictionary " + (dir / "missing/none.add") + " does not exist"},
        {dir / "notadb.add", "The file " + (dir / "notadb.add") + " is not a data dictionary"},
        {dir / "no-such-folder",
         "The folder " + (dir / "no-such-folder") + " does not exist or is not a folder"},
    };
    for (const auto& [path, message] : cases)
        EXPECT_EQ(errorOf([&] { connect(path); }), message);

    EXPECT_EQ(errorOf([&] {
                  backup(dir / "blocker/image");
              }).rfind("dbqry1: sp_BackupDatabase: cannot create the folder " + (dir / "blocker/image"), 0),
              0u);
    EXPECT_EQ(errorOf([&] { backup(""); }), "dbqry1: sp_BackupDatabase: the destination folder is empty");
}

TEST_F(ServerTest, StatementsAreParsed) {
    auto connection = connect(dictionary);
    const std::string image = dir / "img";
    EXPECT_NO_THROW(exec(*connection, "execute procedure SP_BACKUPDATABASE ( '" + image + "' , null ) ;"));
    const std::pair<std::string, std::string> failures[] = {
        {"EXECUTE PROC sp_BackupDatabase('x', NULL)",
         "dbqry1: Syntax error at position 9: expected PROCEDURE"},
        {"EXECUTE PROCEDURE sp_BackupDatabase('x, NULL)",
         "dbqry1: Syntax error at position 37: unterminated string literal"},
        {"EXECUTE PROCEDURE sp_BackupDatabase(x, NULL)",
         "dbqry1: Syntax error at position 37: expected a string literal or NULL"},
        {"EXECUTE PROCEDURE sp_Nothing('x')", "dbqry1: Unknown procedure sp_Nothing"},
        {"EXECUTE PROCEDURE sp_BackupDatabase('x')",
         "dbqry1: sp_BackupDatabase takes (destination folder, NULL)"},
    };
    for (const auto& [statement, message] : failures)
        EXPECT_EQ(errorOf([&] { exec(*connection, statement); }), message);
}

TEST_F(ServerTest, ExecOpensAClosedConnectionWithTheSettingsOfThatMoment) {
    TDbConnection connection("con1");
    connection.setConnectPath(dictionary);
    connection.Username = "DBSYS";
    connection.Password = "wrong";
    connection.Password = kPassword;
    exec(connection, backupStatement(dir / "img"));
    EXPECT_TRUE(connection.IsConnected());
    EXPECT_EQ(dumpOf(dir / "img/abc.add"), dumpOf(dictionary));
}

TEST_F(ServerTest, BackupIsRefusedOnAFolderConnection) {
    TDbConnection folder("con1");
    folder.setConnectPath(dir / "company");
    EXPECT_EQ(errorOf([&] { exec(folder, backupStatement(dir / "img")); }),
              "dbqry1: sp_BackupDatabase needs a data dictionary connection, not the folder connection " +
                  (dir / "company"));
    EXPECT_FALSE(std::filesystem::exists(dir / "img"));
}

TEST_F(ServerTest, BackupThenRestoreGivesTheSameRows) {
    const std::string image = dir / "it's image";
    backup(image + "/");
    EXPECT_TRUE(std::filesystem::exists(image + "/abc.add"));
    EXPECT_TRUE(std::filesystem::exists(image + "/CUSTOMER.tbl"));

    const std::string target = dir / "restored/new place/xyz.ADD";
    restore(image + "/ABC.ADD", target);
    EXPECT_EQ(dumpOf(target), dumpOf(dictionary));
    EXPECT_NE(dumpOf(target).find("'Alpha"), std::string::npos);
    EXPECT_EQ(folderContents(dir / "restored/new place").size(), 3u) << "no temporary file is left";
}

TEST_F(ServerTest, RestoreReplacesAnExistingDatabase) {
    backup(dir / "img");
    const std::string target = dir / "live/abc.add";
    restore(dir / "img/abc.add", target);
    admin::insertRows(*connect(target), "CUSTOMER", {{"3", "Added after the backup"}});
    restore(dir / "img/abc.add", target);
    EXPECT_EQ(dumpOf(target), dumpOf(dictionary));
}

TEST_F(ServerTest, RefusedRestoresLeaveTheDestinationByteIdentical) {
    backup(dir / "img");
    const std::string target = dir / "live/abc.add";
    restore(dir / "img/abc.add", target);
    admin::insertRows(*connect(target), "CUSTOMER", {{"3", "Only in the live database"}});
    const auto live = folderContents(dir / "live");

    EXPECT_NE(errorOf([&] {
                  restore(dir / "img/abc.add", target, "wrong");
              }).find("wrong password for the source data dictionary"),
              std::string::npos);
    EXPECT_EQ(folderContents(dir / "live"), live);

    {
        auto holder = connect(target);
        EXPECT_NE(
            errorOf([&] { restore(dir / "img/abc.add", target); }).find("is open by another connection"),
            std::string::npos);
    }
    EXPECT_EQ(folderContents(dir / "live"), live);

    // A damaged image file: refused by the manifest the backup wrote, or, without one, by the full check.
    std::filesystem::resize_file(dir / "img/CUSTOMER.tbl", 5000);
    const std::string mismatch = errorOf([&] { restore(dir / "img/abc.add", target); });
    EXPECT_NE(mismatch.find("the image file " + (dir / "img/CUSTOMER.tbl") +
                            " does not match the image's manifest"),
              std::string::npos)
        << mismatch;
    EXPECT_EQ(folderContents(dir / "live"), live);
    std::filesystem::remove(dir / "img/abc.add.manifest");
    const std::string damaged = errorOf([&] { restore(dir / "img/abc.add", target); });
    EXPECT_NE(damaged.find("the table file " + (dir / "img/CUSTOMER.tbl") + " is damaged"), std::string::npos)
        << damaged;
    EXPECT_EQ(folderContents(dir / "live"), live);

    std::filesystem::remove(dir / "img/INVOICE.tbl");
    EXPECT_NE(errorOf([&] {
                  restore(dir / "img/abc.add", target);
              }).find("INVOICE.tbl of table INVOICE is missing"),
              std::string::npos);
    EXPECT_EQ(folderContents(dir / "live"), live);
}

TEST_F(ServerTest, FailedBackupLeavesNoFileUnderARealName) {
    std::filesystem::remove(dir / "company/INVOICE.tbl");
    EXPECT_NE(errorOf([&] { backup(dir / "img"); }).find("INVOICE.tbl of table INVOICE is missing"),
              std::string::npos);
    EXPECT_TRUE(folderContents(dir / "img").empty());
}

// Another connection commits transactions that add one row to each table; every image must hold as many
// rows in one table as in the other, with the tables in rollback-journal mode and in WAL mode.
TEST_F(ServerTest, BackupWhileAnotherConnectionWritesIsConsistent) {
    for (const bool wal : {false, true}) {
        std::atomic<bool> stop = false;
        std::atomic<int> commits = 0;
        std::thread writer([&] {
            sqlite3* db = nullptr;
            sqlite3_open((dir / "company/CUSTOMER.tbl").c_str(), &db);
            sqlite3_busy_timeout(db, 5000);
            sqlite3_exec(db, ("ATTACH '" + (dir / "company/INVOICE.tbl") + "' AS inv").c_str(), nullptr,
                         nullptr, nullptr);
            if (wal)
                sqlite3_exec(db, "PRAGMA main.journal_mode=WAL; PRAGMA inv.journal_mode=WAL", nullptr,
                             nullptr, nullptr);
            for (int id = wal ? 100000 : 100; !stop; ++id) {
                const std::string sql = "BEGIN; INSERT INTO CUSTOMER VALUES(" + std::to_string(id) +
                                        ", 'x');" + "INSERT INTO inv.INVOICE VALUES(" + std::to_string(id) +
                                        ", 1); COMMIT;";
                if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK)
                    ++commits;
                else
                    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
                std::this_thread::sleep_for(std::chrono::microseconds(200)); // a busy writer, not a lock hog
            }
            sqlite3_close(db);
        });
        const auto stopWriter = [&](void*) {
            stop = true;
            writer.join();
        };
        std::unique_ptr<void, decltype(stopWriter)> joinAtEnd(&stop, stopWriter);
        for (int round = 0; round < 5; ++round) {
            while (commits.load() < 3 * (round + 1))
                std::this_thread::yield();
            const std::string image = dir / ("img" + std::to_string(wal) + std::to_string(round));
            backup(image);
            TDbConnection connection;
            connection.setConnectPath(image + "/abc.add");
            connection.Username = "DBSYS";
            connection.Password = kPassword;
            TDbTable customers("t"), invoices("t");
            customers.Connection = invoices.Connection = &connection;
            customers.TableName = "CUSTOMER";
            invoices.TableName = "INVOICE";
            int customerRows = 0, invoiceRows = 0;
            for (customers.Open(); !customers.Eof(); customers.Next())
                ++customerRows;
            for (invoices.Open(); !invoices.Eof(); invoices.Next())
                ++invoiceRows;
            EXPECT_EQ(customerRows, invoiceRows) << (wal ? "WAL" : "rollback journal") << ", round " << round;
        }
    }
}

// Refusals of what a hostile image, statement or destination would make the server do.
TEST_F(ServerTest, HostileImagesStatementsAndDestinationsAreRefused) {
    backup(dir / "img");
    const auto tamper = [&](const std::string& sql) {
        sqlite3* db = nullptr;
        sqlite3_open((dir / "img/abc.add").c_str(), &db);
        sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
        sqlite3_close(db);
    };
    const std::string target = dir / "live/abc.add";
    tamper("UPDATE dd_tables SET file = '" + (dir / "company/CUSTOMER.tbl") + "' WHERE name = 'CUSTOMER'");
    EXPECT_NE(errorOf([&] { restore(dir / "img/abc.add", target); }).find("is not a file name beside"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(target));
    tamper("UPDATE dd_tables SET file = 'CUSTOMER.tbl' WHERE name = 'CUSTOMER';"
           "UPDATE dd_users SET iterations = 2000000000");
    EXPECT_NE(errorOf([&] { connect(dir / "img/abc.add"); }).find("2000000000 hashing rounds"),
              std::string::npos);
    tamper("UPDATE dd_users SET iterations = 20000");

    const std::string nul = std::string("EXECUTE PROCEDURE sp_RestoreDatabase('") + (dir / "img/abc.add") +
                            "','KESTA7946','" + (dir / "R.ADD") + std::string(1, '\0') + "junk', NULL )";
    EXPECT_NE(errorOf([&] { exec(*connect(dir / "img/abc.add"), nul); }).find("may not hold a NUL"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir / "R.ADD"));

    std::filesystem::create_directories(dir / "live.t/x.add");
    EXPECT_NE(errorOf([&] { restore(dir / "img/abc.add", dir / "live.t/x.add"); }).find("is a folder"),
              std::string::npos);
    EXPECT_TRUE(std::filesystem::is_empty(dir / "live.t/x.add"));

    // A database is open in the destination's folder, or in the folder a backup writes to.
    backup(dir / "img"); // an image untouched since its backup
    restore(dir / "img/abc.add", target);
    const auto live = folderContents(dir / "live");
    {
        auto holder = connect(target);
        EXPECT_NE(errorOf([&] {
                      restore(dir / "img/abc.add", dir / "live/other.add");
                  }).find("is open by another connection"),
                  std::string::npos);
        EXPECT_NE(errorOf([&] { backup(dir / "live"); }).find("is in use"), std::string::npos);
    }
    EXPECT_EQ(folderContents(dir / "live"), live);
}

// A backup writes a manifest of its image; a restore checks the image against it, and refuses, naming the
// file, any image that is not the one the backup wrote.
TEST_F(ServerTest, ManifestVerifiedRestore) {
    backup(dir / "img");
    const std::string text = testsupport::readFile(dir / "img/abc.add.manifest");
    EXPECT_TRUE(text.starts_with("backup image manifest 1\ndictionary\tabc.add\ntime\t20")) << text;
    for (const char* name : {"abc.add", "CUSTOMER.tbl", "INVOICE.tbl"})
        EXPECT_NE(text.find("\t" + std::string(name) + "\n"), std::string::npos) << name;
    EXPECT_NO_THROW(admin::verifyImage(dir / "img/ABC.ADD"));

    const std::string target = dir / "live/abc.add";
    const auto refusedNaming = [&](const std::string& what) {
        EXPECT_NE(errorOf([&] { admin::verifyImage(dir / "img/abc.add"); }).find(what), std::string::npos)
            << what;
        EXPECT_NE(errorOf([&] { restore(dir / "img/abc.add", target); }).find(what), std::string::npos)
            << what;
        EXPECT_FALSE(std::filesystem::exists(target)) << what;
    };
    // A byte changed in place: the same size, another hash.
    const std::string invoice = testsupport::readFile(dir / "img/INVOICE.tbl");
    std::string changed = invoice;
    changed[changed.size() - 100] ^= 0x01;
    testsupport::writeFile(dir / "img/INVOICE.tbl", changed);
    refusedNaming("the image file " + (dir / "img/INVOICE.tbl") + " does not match the image's manifest");
    testsupport::writeFile(dir / "img/INVOICE.tbl", invoice);

    const auto withManifest = [&](const std::string& replaced) {
        testsupport::writeFile(dir / "img/abc.add.manifest", replaced);
    };
    withManifest(text + "file\t00000000000000000000000000000000\t1\tEXTRA.tbl\n");
    refusedNaming("lists EXTRA.tbl, which is not a file of the image");
    std::string missing = text;
    missing.erase(missing.find("file\t"),
                  missing.find("\n", missing.find("file\t")) - missing.find("file\t") + 1);
    withManifest(missing);
    refusedNaming("does not list its file");
    withManifest("not a manifest\n");
    refusedNaming("abc.add.manifest cannot be read");

    // Damage that the manifest was made to agree with is still found, by SQLite's quick check.
    std::string customers = testsupport::readFile(dir / "img/CUSTOMER.tbl");
    for (size_t i = 4096 + 8; i < 4096 + 40; ++i)
        customers[i] = '\x7f'; // the header of the table's second page
    testsupport::writeFile(dir / "img/CUSTOMER.tbl", customers);
    const auto line = [&](const char* name) {
        return "file\t" + dbserver::manifest::hashFile(dir / ("img/" + std::string(name))) + "\t" +
               std::to_string(std::filesystem::file_size(dir / ("img/" + std::string(name)))) + "\t" + name +
               "\n";
    };
    withManifest("backup image manifest 1\ndictionary\tabc.add\ntime\tnow\n" + line("abc.add") +
                 line("CUSTOMER.tbl") + line("INVOICE.tbl"));
    EXPECT_NO_THROW(admin::verifyImage(dir / "img/abc.add"));
    EXPECT_NE(errorOf([&] {
                  restore(dir / "img/abc.add", target);
              }).find("the image file " + (dir / "img/CUSTOMER.tbl") + " is damaged"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(target));

    backup(dir / "img");
    restore(dir / "img/abc.add", target);
    EXPECT_EQ(dumpOf(target), dumpOf(dictionary));
}

using fsutil::io::Faults;
using fsutil::io::ScopedFaults;

// A live database restored from an image, then changed, so that a restore has something to replace.
class ServerFaultTest : public ServerTest {
  protected:
    void SetUp() override {
        ServerTest::SetUp();
        backup(dir / "img");
        restore(dir / "img/abc.add", target);
        admin::insertRows(*connect(target), "CUSTOMER", {{"3", "Only in the live database"}});
        admin::insertRows(*connect(dictionary), "CUSTOMER", {{"4", "Only in the newer backup"}});
    }

    // No staging folder or temporary file is left in the folder.
    void expectNoLeftovers(const std::string& folder) {
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            EXPECT_FALSE(entry.path().filename().string().starts_with("TEMP_")) << entry.path();
    }

    const std::string target = dir / "live/abc.add";
};

// Each fault either fails the call with the old files byte for byte as they were, or (once the swap is past
// its commit mark) the call succeeds with the new ones.
TEST_F(ServerFaultTest, BackupAndRestoreUnderDeviceFaults) {
    std::vector<std::pair<std::string, Faults>> cases = {
        {"disk full at once", {.writableBytes = 0}},
        {"disk full after 6 kB", {.writableBytes = 6000}},
        {"I/O error after 10 kB", {.writableBytes = 10000, .writeError = EIO}},
        {"read error at once", {.readableBytes = 0}},
        {"read error after 10 kB", {.readableBytes = 10000}},
    };
    for (int k = 0; k < 14; ++k)
        cases.push_back({"rename " + std::to_string(k) + " fails", {.failingRename = k}});

    int changes = 100;
    for (const auto& [what, faults] : cases) {
        const auto image = folderContents(dir / "img");
        const std::string newRows = dumpOf(dictionary);
        std::string backupError;
        {
            ScopedFaults injected(faults);
            backupError = errorOf([&] { backup(dir / "img"); });
        }
        if (backupError == "(no error)") {
            EXPECT_EQ(dumpOf(dir / "img/abc.add"), newRows) << what;
        } else {
            EXPECT_NE(backupError.find("sp_BackupDatabase"), std::string::npos)
                << what << ": " << backupError;
            EXPECT_TRUE(folderContents(dir / "img") == image) << what;
        }
        expectNoLeftovers(dir / "img");
        backup(dir / "img");

        const auto live = folderContents(dir / "live");
        std::string restoreError;
        {
            ScopedFaults injected(faults);
            restoreError = errorOf([&] { restore(dir / "img/abc.add", target); });
        }
        if (restoreError == "(no error)") {
            EXPECT_EQ(dumpOf(target), newRows) << what;
        } else {
            EXPECT_NE(restoreError.find("sp_RestoreDatabase"), std::string::npos)
                << what << ": " << restoreError;
            EXPECT_TRUE(folderContents(dir / "live") == live) << what;
        }
        connect(target); // tidies what the swap could not
        expectNoLeftovers(dir / "live");
        admin::insertRows(*connect(dictionary), "CUSTOMER", {{std::to_string(++changes), "changed"}});
    }
}

TEST_F(ServerFaultTest, RestoreKeepsThePreRestoreCopyAndUndoPutsItBack) {
    testsupport::writeFile(dir / "live/CUSTOMER.tbl-wal", "a side file of the replaced table");
    const std::string before = dumpOf(target);
    restore(dir / "img/abc.add", target);
    const std::string restored = dumpOf(target);
    EXPECT_EQ(restored, dumpOf(dir / "img/abc.add"));
    EXPECT_FALSE(std::filesystem::exists(dir / "live/CUSTOMER.tbl-wal")) << "it would mix into the new table";
    const std::string copy = dir / "live/abc.add.pre-restore";
    EXPECT_EQ(admin::preRestoreFolder(target), copy);
    EXPECT_EQ(dumpOf(copy + "/abc.add"), before);
    EXPECT_TRUE(std::filesystem::exists(copy + "/CUSTOMER.tbl-wal"));

    admin::undoRestore(target, "DBSYS", kPassword);
    EXPECT_EQ(dumpOf(target), before);
    EXPECT_EQ(dumpOf(copy + "/abc.add"), restored) << "the undone restore can be redone";
    EXPECT_NE(errorOf([&] { admin::undoRestore(target, "DBSYS", "wrong"); }).find("wrong"),
              std::string::npos);
    EXPECT_EQ(dumpOf(target), before);
    EXPECT_NE(errorOf([&] {
                  admin::undoRestore(dir / "img/abc.add", "DBSYS", kPassword);
              }).find("no pre-restore copy"),
              std::string::npos);

    for (const char* file : {"img/abc.add", "img/CUSTOMER.tbl", "live/abc.add", "live/INVOICE.tbl"})
        EXPECT_EQ(std::filesystem::status(dir / file).permissions() & std::filesystem::perms::all,
                  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
            << file;
}

TEST_F(ServerFaultTest, AcrossFileSystemsTheCopyFallsBack) {
    ScopedFaults injected({.copyRangeError = EXDEV});
    backup(dir / "img");
    restore(dir / "img/abc.add", target);
    EXPECT_EQ(dumpOf(target), dumpOf(dictionary));
}

class CompanyTableTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder.setConnectPath(dir.path().string() + "/");
        admin::createTable(folder, "MCOMPANY", {{"COMPANY_CODE", "CHAR(8)"}, {"COMPANY_NAME", "CHAR(40)"}},
                           {{"PRIMARY", {"COMPANY_CODE"}, true}});
        admin::insertRows(folder, "MCOMPANY", {{"XYZ", "X"}, {"ABC     ", "A"}, {"DEF", std::nullopt}});
        table.Connection = &folder;
        table.TableName = "MCOMPANY";
        table.IndexFieldNames = "COMPANY_CODE";
    }
    TempDir dir;
    TDbConnection folder{"DbConnection2"};
    TDbTable table{"DbTableMCompany"};
};

TEST_F(CompanyTableTest, RowsComeInIndexOrderWithoutTrailingBlanks) {
    folder.setIsConnected(false);
    table.Open(); // opens the connection first
    EXPECT_TRUE(folder.IsConnected());
    std::vector<std::pair<std::string, std::string>> rows;
    for (; !table.Eof(); table.Next())
        rows.emplace_back(table.FieldByName("COMPANY_code").AsString,
                          table.FieldByName("company_name").AsString);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"ABC", "A"}, {"DEF", ""}, {"XYZ", "X"}};
    EXPECT_EQ(rows, expected);
}

TEST_F(CompanyTableTest, MissingFieldIndexOrTableIsNamed) {
    table.Open();
    EXPECT_EQ(errorOf([&] { table.FieldByName("COMPANY_ID"); }),
              "DbTableMCompany: Field 'COMPANY_ID' not found in table MCOMPANY");
    table.Close();
    table.IndexFieldNames = "COMPANY_NAME";
    EXPECT_EQ(errorOf([&] { table.Open(); }), "DbTableMCompany: table MCOMPANY has no index on COMPANY_NAME");
    table.TableName = "NOTHERE";
    EXPECT_EQ(errorOf([&] { table.Open(); }),
              "DbTableMCompany: Table NOTHERE not found in the folder " + dir.path().string() + "/");
}

TEST(DemoWorkspaceTest, DefaultPathsLeadToADemoCompany) {
    TempDir dir;
    workspace::makeDemoWorkspace(dir / "demo", kPassword);
    TDbConnection company;
    company.setConnectPath(dir / "demo/D:\\DRAVELL\\COMPANY\\abc\\abc.add");
    company.Username = "DBSYS";
    company.Password = kPassword;
    EXPECT_NE(admin::dump(company).find("TABLE CUSTOMER"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "demo/C:/TEMP"));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "demo/D:/DRAVELL/BACKUP_DBNAME"));

    TDbConnection programFolder;
    programFolder.setConnectPath(dir / "demo/");
    TDbTable companies;
    companies.Connection = &programFolder;
    companies.TableName = "MCOMPANY";
    companies.IndexFieldNames = "COMPANY_CODE";
    std::vector<std::string> codes;
    for (companies.Open(); !companies.Eof(); companies.Next())
        codes.push_back(companies.FieldByName("COMPANY_code").AsString);
    EXPECT_EQ(codes, (std::vector<std::string>{"ACME", "BETA", "NORTH", "abc"}));
}

} // namespace
