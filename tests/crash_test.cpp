// Crash safety: each operation is killed (SIGKILL) at every one of its renames in turn, and the command-line
// tools at random moments; what is left must be the old state or the new one, whole, once the next run that
// touches the folder has recovered it.
#include "archive/TZipControl.h"
#include "dbserver/DbAdmin.h"
#include "fsutil/FileSetSwap.h"
#include "fsutil/Io.h"
#include "fsutil/Utf.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <random>

using namespace dbserver;
using testsupport::folderContents;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

namespace fs = std::filesystem;
constexpr const char* kPassword = "KESTA7946";

// Runs work in a child process that kills itself at its k-th rename; true when it died there, false when it
// finished first.
bool killedAtRename(int k, const std::function<void()>& work) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        fsutil::io::setFaults({.killAtRename = k});
        try {
            work();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "child failed: %s\n", error.what());
            ::_exit(2);
        }
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) return true;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "at rename " << k;
    return false;
}

std::unique_ptr<TDbConnection> connect(const std::string& path) {
    auto connection = std::make_unique<TDbConnection>("con1");
    connection->setConnectPath(path);
    connection->Username = "DBSYS";
    connection->Password = kPassword;
    return connection;
}

void exec(const std::string& connectPath, const std::string& statement) {
    auto connection = connect(connectPath);
    TDbQuery query("dbqry1");
    query.Connection = connection.get();
    query.SQL.Add(statement);
    query.ExecSQL();
}

std::string dumpOf(const std::string& dictionary) {
    auto connection = connect(dictionary);
    admin::check(*connection); // the database opens, and every file passes its integrity check
    return admin::dump(*connection);
}

void expectNoStaging(const fs::path& folder) {
    for (const auto& entry : fs::directory_iterator(folder))
        EXPECT_FALSE(entry.path().filename().string().starts_with("TEMP_")) << entry.path();
}

// A company database, an old image of it and a newer one, and a live copy restored from the old image.
class CrashTest : public ::testing::Test {
  protected:
    void SetUp() override {
        admin::createDictionary(source, kPassword);
        auto connection = connect(source);
        admin::createTable(*connection, "CUSTOMER", {{"ID", "INTEGER"}, {"NAME", "CHAR(20)"}},
                           {{"PRIMARY", {"ID"}, true}});
        admin::createTable(*connection, "INVOICE", {{"NO", "INTEGER"}}, {});
        admin::insertRows(*connection, "CUSTOMER", {{"1", "Alpha"}});
        admin::insertRows(*connection, "INVOICE", {{"10"}});
        exec(source, backupTo(dir / "old"));
        admin::insertRows(*connection, "CUSTOMER", {{"2", "Beta"}});
        admin::insertRows(*connection, "INVOICE", {{"11"}});
        exec(source, backupTo(dir / "new"));
        exec(dir / "old/abc.add", restoreFrom(dir / "old/abc.add", dir / "pristine/abc.add"));
        oldRows = dumpOf(dir / "old/abc.add");
        newRows = dumpOf(dir / "new/abc.add");
        ASSERT_NE(oldRows, newRows);
    }

    static std::string backupTo(const std::string& folder) {
        return "EXECUTE PROCEDURE sp_BackupDatabase('" + folder + "', NULL )";
    }
    static std::string restoreFrom(const std::string& image, const std::string& target) {
        return "EXECUTE PROCEDURE sp_RestoreDatabase('" + image + "','" + kPassword + "','" + target +
               "', NULL )";
    }

    TempDir dir;
    const std::string source = dir / "company/abc.add";
    std::string oldRows, newRows;
};

TEST_F(CrashTest, RestoreKilledAtEachRenameLeavesTheOldOrTheNewDatabase) {
    int k = 0;
    for (bool killed = true; killed; ++k) {
        const std::string live = dir / ("live" + std::to_string(k));
        fs::copy(dir / "pristine", live, fs::copy_options::recursive);
        killed = killedAtRename(
            k, [&] { exec(dir / "new/abc.add", restoreFrom(dir / "new/abc.add", live + "/abc.add")); });
        const std::string rows = dumpOf(live + "/abc.add"); // the next connection completes or undoes it
        EXPECT_TRUE(rows == oldRows || rows == newRows) << "killed at rename " << k;
        if (!killed) {
            EXPECT_EQ(rows, newRows);
        }
        expectNoStaging(live);
    }
    EXPECT_GT(k, 6) << "the restore's renames were all tried";
}

TEST_F(CrashTest, BackupKilledAtEachRenameLeavesTheOldOrTheNewImage) {
    int k = 0;
    for (bool killed = true; killed; ++k) {
        const std::string image = dir / ("image" + std::to_string(k));
        fs::copy(dir / "old", image, fs::copy_options::recursive);
        killed = killedAtRename(k, [&] { exec(source, backupTo(image)); });
        const std::string rows = dumpOf(image + "/abc.add");
        EXPECT_TRUE(rows == oldRows || rows == newRows) << "killed at rename " << k;
        expectNoStaging(image);
    }
    EXPECT_GT(k, 6);
}

class ArchiveCrashTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(dir.path() / "old");
        fs::create_directories(dir.path() / "new");
        for (int i = 0; i < 4; ++i) {
            const std::string name = "file" + std::to_string(i) + ".tbl";
            writeFile(dir.path() / "old" / name, "old " + std::string(1000 * (i + 1), 'o'));
            writeFile(dir.path() / "new" / name, "new " + std::string(3000 * (i + 1), 'n'));
        }
        zip.SetProperty(archive::dispid::EncryptionPassword, fsutil::toUtf16(kPassword));
        zip.SetProperty(archive::dispid::PreservePaths, false);
        zip.setZipFilename(fsutil::toUtf16(dir / "new.zip"));
        zip.setFilesToProcess(fsutil::toUtf16(dir / "new/*.*"));
        ASSERT_EQ(zip.ZipFiles(), archive::result::Success);
    }
    TempDir dir;
    archive::TZipControl zip;
};

TEST_F(ArchiveCrashTest, UnzipKilledAtEachRenameLeavesWholeFilesAndRecoversToOneSet) {
    const auto oldSet = folderContents(dir.path() / "old");
    const auto newSet = folderContents(dir.path() / "new");
    int k = 0;
    for (bool killed = true; killed; ++k) {
        const fs::path target = dir.path() / ("target" + std::to_string(k));
        fs::copy(dir.path() / "old", target);
        zip.setUnzipToFolder(fsutil::toUtf16(target.string()));
        killed = killedAtRename(k, [&] {
            if (zip.UnzipFiles() != archive::result::Success) throw std::runtime_error("unzip failed");
        });
        for (const auto& [name, bytes] : folderContents(target)) {
            if (name.starts_with("TEMP_")) continue;
            EXPECT_TRUE(bytes == oldSet.at(name) || bytes == newSet.at(name)) << name << " at rename " << k;
        }
        fsutil::FileSetSwap::recover(target); // what the next extraction into the folder does first
        const auto after = folderContents(target);
        EXPECT_TRUE(after == oldSet || after == newSet) << "killed at rename " << k;
    }
    EXPECT_GT(k, 8);
}

TEST_F(ArchiveCrashTest, ZipKilledAtItsRenameKeepsTheOldZip) {
    writeFile(dir / "out.zip", "the previous good backup");
    zip.setZipFilename(fsutil::toUtf16(dir / "out.zip"));
    EXPECT_TRUE(killedAtRename(0, [&] { zip.ZipFiles(); }));
    EXPECT_EQ(readFile(dir / "out.zip"), "the previous good backup");
    ASSERT_EQ(zip.ZipFiles(), archive::result::Success); // and the next run clears the temporary file
    expectNoStaging(dir.path());
}

// The command-line tools, killed at random moments of a real run.
class ToolKillTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(dir.path() / "img");
        std::mt19937 random(7);
        for (int f = 0; f < 3; ++f) {
            std::string text;
            while (text.size() < (6u << 20))
                text += "row " + std::to_string(random() % 100000) + " of a table\n";
            writeFile(dir.path() / "img" / ("T" + std::to_string(f) + ".tbl"), text);
        }
    }

    // Starts the tool, kills it after `delay`, and waits; the exit status.
    int runAndKill(const std::vector<std::string>& args, std::chrono::microseconds delay,
                   int signal = SIGKILL) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            std::vector<char*> argv;
            for (const auto& arg : args)
                argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            ::freopen("/dev/null", "w", stdout);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        std::this_thread::sleep_for(delay);
        ::kill(pid, signal);
        int status = 0;
        ::waitpid(pid, &status, 0);
        return status;
    }

    std::string tool(const char* name) const { return std::string(TOOLS_DIR) + "/" + name; }

    TempDir dir;
};

TEST_F(ToolKillTest, ZipctlKilledAnywhereLeavesTheOldZipOrAWholeNewOne) {
    writeFile(dir / "out.zip", "the previous good backup");
    std::mt19937 random(11);
    for (int round = 0; round < 12; ++round) {
        const auto delay = std::chrono::microseconds(2000 + random() % 600000);
        runAndKill({tool("zipctl"), "--force", "zip", dir / "out.zip", dir / "img"}, delay);
        const std::string zip = readFile(dir / "out.zip");
        if (zip != "the previous good backup") {
            EXPECT_EQ(
                std::system(("'" + tool("zipctl") + "' test '" + (dir / "out.zip") + "' >/dev/null").c_str()),
                0)
                << "round " << round;
        }
        fs::remove(dir / "out.zip");
        writeFile(dir / "out.zip", "the previous good backup");
    }
    ASSERT_EQ(std::system(("'" + tool("zipctl") + "' zip '" + (dir / "x.zip") + "' '" + (dir / "img") +
                           "' >/dev/null")
                              .c_str()),
              0);
    expectNoStaging(dir.path());
}

TEST_F(ToolKillTest, SigtermStopsZipctlAndItCleansUp) {
    writeFile(dir / "out.zip", "the previous good backup");
    const int status = runAndKill({tool("zipctl"), "--force", "zip", dir / "out.zip", dir / "img"},
                                  std::chrono::milliseconds(30), SIGTERM);
    ASSERT_TRUE(WIFEXITED(status)) << "the tool ends by itself, having cleaned up";
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
    EXPECT_EQ(readFile(dir / "out.zip"), "the previous good backup");
    expectNoStaging(dir.path());

    fs::create_directories(dir.path() / "target");
    writeFile(dir / "target/T0.tbl", "the current file");
    ASSERT_EQ(std::system(("'" + tool("zipctl") + "' zip '" + (dir / "new.zip") + "' '" + (dir / "img") +
                           "' >/dev/null")
                              .c_str()),
              0);
    const int unzipped = runAndKill({tool("zipctl"), "unzip", dir / "new.zip", dir / "target"},
                                    std::chrono::milliseconds(20), SIGINT);
    if (WIFEXITED(unzipped) && WEXITSTATUS(unzipped) == 128 + SIGINT) {
        EXPECT_EQ(readFile(dir / "target/T0.tbl"), "the current file");
    }
    expectNoStaging(dir.path() / "target");
}

} // namespace
