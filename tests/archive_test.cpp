#include "archive/TZipControl.h"
#include "fsutil/Io.h"
#include "fsutil/Utf.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <sys/stat.h>

using namespace archive;
using fsutil::toUtf16;
using testsupport::folderContents;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

constexpr const char* kPassword = "KESTA7946";

bool haveTool(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null").c_str()) == 0;
}

int shell(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str());
}

std::string repeated(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i)
        out += text + std::to_string(i) + "\n";
    return out;
}

class ZipTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(dir.path() / "img/sub");
        writeFile(dir / "img/abc.ADD", repeated("dictionary page ", 4000));
        writeFile(dir / "img/CUSTOMER.tbl", repeated("customer row ", 20000));
        writeFile(dir / "img/NOEXT", "a file without a dot");
        writeFile(dir / "img/empty.tbl", "");
        writeFile(dir / "img/TEMP_abc.ADD", "a half-written file");
        writeFile(dir / "img/temp_lower.dat", "also temporary");
        writeFile(dir / "img/sub/inner.txt", "in a subfolder");
        zip.SetProperty(dispid::CompressionLevel, 6);
        zip.SetProperty(dispid::EncryptionPassword, toUtf16(kPassword));
        zip.SetProperty(dispid::ExcludedFileAttributes, 0);
        zip.SetProperty(dispid::FilesToExclude, u"TEMP_*.*");
        zip.SetProperty(dispid::PreservePaths, false);
        zip.SetProperty(dispid::ExtraHeaders, 0);
    }

    std::map<std::string, std::string> expectedSelection() {
        auto files = folderContents(dir.path() / "img");
        for (const char* left : {"TEMP_abc.ADD", "temp_lower.dat", "sub/inner.txt"})
            files.erase(left);
        return files;
    }

    std::int32_t zipFolder(const std::string& zipFile, const std::string& mask) {
        zip.setZipFilename(toUtf16(zipFile));
        zip.setFilesToProcess(toUtf16(mask));
        return zip.ZipFiles();
    }

    std::int32_t unzipTo(const std::string& zipFile, const std::string& folder) {
        zip.setZipFilename(toUtf16(zipFile));
        zip.setUnzipToFolder(toUtf16(folder));
        return zip.UnzipFiles();
    }

    TempDir dir;
    TZipControl zip;
};

TEST_F(ZipTest, RoundTripSelectsTheFolderOwnFilesWithoutTemporaryOnes) {
    for (const std::string password : {kPassword, ""}) {
        zip.SetProperty(dispid::EncryptionPassword, toUtf16(password));
        // The folder ends in a separator, so the mask follows a doubled one.
        ASSERT_EQ(zipFolder(dir / "out.zip", dir / "img\\\\*.*"), result::Success) << password;
        std::filesystem::remove_all(dir.path() / "back");
        ASSERT_EQ(unzipTo(dir / "out.zip", dir / "back"), result::Success);
        EXPECT_EQ(folderContents(dir.path() / "back"), expectedSelection());
    }
}

TEST_F(ZipTest, SubfoldersAndPathsWhenAsked) {
    zip.SetProperty(dispid::ProcessSubfolders, true);
    zip.SetProperty(dispid::PreservePaths, true);
    zip.SetProperty(dispid::MaxSizeToProcess, 1000);
    ASSERT_EQ(zipFolder(dir / "out.zip", dir / "img/*.*"), result::Success);
    std::vector<ZipEntryInfo> entries;
    ASSERT_EQ(zip.ListZipFile(entries), result::Success);
    std::set<std::u16string> names;
    for (const auto& entry : entries)
        names.insert(entry.name);
    EXPECT_EQ(names, (std::set<std::u16string>{u"NOEXT", u"empty.tbl", u"sub/inner.txt"}));
    EXPECT_EQ(entries.front().method, u"AES-256");
}

TEST_F(ZipTest, SevenZipAndBsdtarReadWhatWeWriteOnlyWithThePassword) {
    if (!haveTool("7z") || !haveTool("bsdtar"))
        GTEST_SKIP() << "7z or bsdtar is not installed (setup.sh installs them)";
    ASSERT_EQ(zipFolder(dir / "out.zip", dir / "img/*.*"), result::Success);
    EXPECT_EQ(shell("7z t -p" + std::string(kPassword) + " '" + (dir / "out.zip") + "'"), 0);
    EXPECT_NE(shell("7z t -pwrong '" + (dir / "out.zip") + "'"), 0);
    std::filesystem::create_directories(dir.path() / "bsd");
    EXPECT_EQ(shell("cd '" + (dir / "bsd") + "' && bsdtar --passphrase " + kPassword + " -xf ../out.zip"), 0);
    EXPECT_EQ(folderContents(dir.path() / "bsd"), expectedSelection());
    EXPECT_NE(shell("cd '" + (dir / "bsd") + "' && bsdtar --passphrase wrong -xf ../out.zip"), 0);
}

TEST_F(ZipTest, WeReadSevenZipAesAndTraditionalEncryption) {
    if (!haveTool("7z") || !haveTool("zip"))
        GTEST_SKIP() << "7z or zip is not installed (setup.sh installs them)";
    // Files that deflate: libzip 1.7 cannot check the tiny entries that 7-Zip stores undeflated under AE-2.
    const std::string files = "abc.ADD CUSTOMER.tbl";
    ASSERT_EQ(
        shell("cd '" + (dir / "img") + "' && 7z a -tzip -mem=AES256 -p" + kPassword + " ../7z.zip " + files),
        0);
    ASSERT_EQ(shell("cd '" + (dir / "img") + "' && zip -q -P " + kPassword + " ../trad.zip " + files), 0);
    for (const char* name : {"7z.zip", "trad.zip"}) {
        ASSERT_EQ(unzipTo(dir / name, dir / (std::string(name) + ".out")), result::Success) << name;
        for (const char* file : {"abc.ADD", "CUSTOMER.tbl"})
            EXPECT_EQ(readFile(dir / (std::string(name) + ".out/" + file)),
                      readFile(dir / ("img/" + std::string(file))));
    }
}

TEST_F(ZipTest, BadArchivesGiveTheirCodesAndLeaveExistingFilesAlone) {
    ASSERT_EQ(zipFolder(dir / "good.zip", dir / "img/*.*"), result::Success);
    const std::string good = readFile(dir / "good.zip");
    writeFile(dir / "truncated.zip", good.substr(0, good.size() / 2));
    writeFile(dir / "not-a-zip.zip", repeated("plain text ", 100));
    std::string flipped = good;
    flipped[good.size() / 4] ^= 0x55; // inside the first entry's data
    writeFile(dir / "damaged-entry.zip", flipped);

    const struct {
        std::string zipFile;
        std::string password;
        std::int32_t code;
    } cases[] = {
        {"good.zip", "wrong password", result::WrongPassword},
        {"good.zip", "", result::PasswordRequired},
        {"truncated.zip", kPassword, result::NotAZipFile},
        {"not-a-zip.zip", kPassword, result::NotAZipFile},
        {"damaged-entry.zip", kPassword, result::DamagedArchive},
        {"missing.zip", kPassword, result::ZipFileNotFound},
    };
    std::filesystem::create_directories(dir.path() / "target");
    writeFile(dir / "target/CUSTOMER.tbl", "the operator's current file");
    writeFile(dir / "target/abc.ADD", "another current file");
    const auto before = folderContents(dir.path() / "target");
    for (const auto& c : cases) {
        zip.SetProperty(dispid::EncryptionPassword, toUtf16(c.password));
        EXPECT_EQ(unzipTo(dir / c.zipFile, dir / "target"), c.code) << c.zipFile << " / " << c.password;
        EXPECT_FALSE(zip.DescribeResult(0, c.code).empty());
        auto after = folderContents(dir.path() / "target");
        for (const auto& [name, content] : before)
            EXPECT_EQ(after[name], content) << c.zipFile;
        for (const auto& [name, content] : after)
            EXPECT_FALSE(name.starts_with("TEMP_")) << name;
    }
}

// An archive made by hand whose entry names try to leave the folder they are extracted into.
TEST_F(ZipTest, CraftedNamesNeverWriteOutsideTheTarget) {
    const std::string crafted = dir / "crafted.zip";
    int error = 0;
    zip_t* za = zip_open(crafted.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    ASSERT_NE(za, nullptr);
    static const char payload[] = "escaped";
    for (const char* name :
         {"../climb.txt", "/abs/rooted.txt", "C:\\drive.txt", "sub/../../deep.txt", "ok.txt"})
        zip_file_add(za, name, zip_source_buffer(za, payload, sizeof payload - 1, 0), 0);
    ASSERT_EQ(zip_close(za), 0);
    zip.SetProperty(dispid::EncryptionPassword, u"");
    const auto outside = folderContents(dir.path());

    EXPECT_EQ(unzipTo(crafted, dir / "x/bare"), result::Success);
    EXPECT_EQ(folderContents(dir.path() / "x/bare").size(), 5u) << "bare names land inside";

    zip.SetProperty(dispid::PreservePaths, true);
    EXPECT_EQ(unzipTo(crafted, dir / "x/paths"), result::UnsafeEntryName);
    EXPECT_TRUE(folderContents(dir.path() / "x/paths").empty()) << "nothing is extracted at all";

    auto now = folderContents(dir.path());
    for (auto it = now.begin(); it != now.end();)
        it = it->first.starts_with("x/") ? now.erase(it) : std::next(it);
    EXPECT_EQ(now, outside);
}

TEST_F(ZipTest, EventsNestedCallsAndAbort) {
    writeFile(dir / "out.zip", "the previous good backup");
    std::vector<std::pair<std::u16string, bool>> events;
    std::int32_t nested = -1, seenOperation = -1;
    bool firstEventStartsAtZero = false;
    zip.OnFileStatus = [&](IZipControl& sender, const std::u16string& name, std::int32_t, std::int32_t,
                           std::int32_t processed, std::int16_t, std::int16_t, bool completed) {
        if (events.empty()) firstEventStartsAtZero = processed == 0;
        events.emplace_back(name, completed);
        seenOperation = sender.ActiveOperation();
        if (nested == -1) nested = sender.ZipFiles();
    };
    ASSERT_EQ(zipFolder(dir / "new.zip", dir / "img/*.*"), result::Success);
    EXPECT_EQ(nested, result::Busy);
    EXPECT_EQ(seenOperation, zoZip);
    EXPECT_TRUE(firstEventStartsAtZero);
    EXPECT_EQ(zip.ActiveOperation(), zoNone);
    const auto completed =
        std::count_if(events.begin(), events.end(), [](const auto& e) { return e.second; });
    EXPECT_EQ(completed, 4);

    ASSERT_EQ(unzipTo(dir / "new.zip", dir / "back"), result::Success);
    EXPECT_EQ(seenOperation, zoUnzip);

    zip.OnFileStatus = [&](IZipControl& sender, const std::u16string&, std::int32_t, std::int32_t,
                           std::int32_t, std::int16_t, std::int16_t, bool) { sender.Abort(); };
    EXPECT_EQ(zipFolder(dir / "out.zip", dir / "img/*.*"), result::Cancelled);
    EXPECT_EQ(readFile(dir / "out.zip"), "the previous good backup");
    for (const auto& [name, content] : folderContents(dir.path()))
        EXPECT_FALSE(name.starts_with("TEMP_")) << name;
}

TEST_F(ZipTest, NothingSelectedKeepsTheOldZip) {
    writeFile(dir / "out.zip", "the previous good backup");
    EXPECT_EQ(zipFolder(dir / "out.zip", dir / "img/*.none"), result::NothingSelected);
    EXPECT_EQ(zipFolder(dir / "out.zip", dir / "missing/*.*"), result::FolderNotFound);
    EXPECT_EQ(zipFolder(dir / "no/such/folder/out.zip", dir / "img/*.*"), result::CannotCreateZip);
    EXPECT_EQ(readFile(dir / "out.zip"), "the previous good backup");
}

TEST_F(ZipTest, ANewZipThatFailsItsReadBackIsRefusedAndTheOldOneKept) {
    writeFile(dir / "out.zip", "the previous good backup");
    zip.testHookBeforeVerify = [](const std::filesystem::path& written) {
        std::string bytes = readFile(written);
        bytes[bytes.size() / 3] ^= 0x20;
        writeFile(written, bytes);
    };
    EXPECT_EQ(zipFolder(dir / "out.zip", dir / "img/*.*"), result::VerifyFailed);
    EXPECT_EQ(readFile(dir / "out.zip"), "the previous good backup");
    for (const auto& [name, content] : folderContents(dir.path()))
        EXPECT_FALSE(name.starts_with("TEMP_")) << name;
}

TEST_F(ZipTest, ProgressCoversTheWholeOperation) {
    std::vector<int> shares;
    zip.OnProgress = [&](IZipControl&, std::uint64_t done, std::uint64_t total) {
        shares.push_back(static_cast<int>(done * 100 / total));
    };
    ASSERT_EQ(zipFolder(dir / "out.zip", dir / "img/*.*"), result::Success);
    ASSERT_FALSE(shares.empty());
    EXPECT_TRUE(std::is_sorted(shares.begin(), shares.end()));
    EXPECT_EQ(shares.back(), 100);
    shares.clear();
    ASSERT_EQ(unzipTo(dir / "out.zip", dir / "back"), result::Success);
    EXPECT_TRUE(std::is_sorted(shares.begin(), shares.end()));
    EXPECT_EQ(shares.back(), 100);
}

TEST(ZipSettingsTest, StartValuesIdsNamesAndRefusals) {
    TZipControl zip;
    EXPECT_EQ(std::get<bool>(zip.GetProperty(dispid::PreservePaths)), true);
    EXPECT_EQ(std::get<std::int32_t>(zip.GetProperty("ExcludedFileAttributes")), 24);
    EXPECT_EQ(std::get<std::int32_t>(zip.GetProperty(dispid::SpanMultipleDisks)), 2);
    EXPECT_EQ(std::get<ZipDate>(zip.GetProperty(dispid::MaxDateToProcess)), (ZipDate{9999, 12, 31}));
    zip.SetProperty("compressionlevel", 9);
    EXPECT_EQ(std::get<std::int32_t>(zip.GetProperty(dispid::CompressionLevel)), 9);
    zip.setZipFilename(u"C:\\TEMP\\ABC.ZIP");
    EXPECT_EQ(zip.ZipFilename(), u"C:\\TEMP\\ABC.ZIP");

    const std::pair<int, ZipValue> refused[] = {
        {dispid::CompressionLevel, 10},
        {dispid::CompressionLevel, u"6"},
        {dispid::SplitSize, 1},
        {dispid::ActiveOperation, 3},
        {dispid::MinDateToProcess, ZipDate{2026, 2, 30}},
        {dispid::SfxBinaryModule, u"sfx.bin"},
        {dispid::BackgroundProcessing, true},
        {12345, 0},
    };
    for (const auto& [id, value] : refused)
        EXPECT_THROW(zip.SetProperty(id, value), ZipError) << id;
    EXPECT_THROW(zip.SetProperty("NoSuchSetting", 0), ZipError);
    EXPECT_NO_THROW(zip.CheckLibraries());
}

} // namespace

namespace {

using fsutil::io::Faults;
using fsutil::io::ScopedFaults;

struct FaultCase {
    const char* what;
    Faults faults;
    std::int32_t code; // the result the operation must give
};

// No temporary file or staging folder of the component is left anywhere below the folder.
void expectNoLeftovers(const std::filesystem::path& folder) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        EXPECT_FALSE(name.starts_with("TEMP_SWAP.") || name.ends_with(".tmp") || name.ends_with(".part") ||
                     name.find(".tmp.") != std::string::npos)
            << entry.path();
    }
}

// Runs the operation under each fault: it must give the case's result, leave what it would have replaced
// as it was (`unchanged`), and leave no temporary file below `folder`.
template <size_t N, typename Operation, typename Unchanged>
void runFaults(const FaultCase (&cases)[N], Operation&& operation, Unchanged&& unchanged,
               const std::filesystem::path& folder) {
    for (const auto& c : cases) {
        {
            ScopedFaults faults(c.faults);
            EXPECT_EQ(operation(), c.code) << c.what;
        }
        EXPECT_TRUE(unchanged()) << c.what;
        expectNoLeftovers(folder);
    }
}

// Small limits, so that a few hundred kilobytes reach the streamed paths and several workers.
class ZipFaultTest : public ZipTest {
  protected:
    void SetUp() override {
        ZipTest::SetUp();
        writeFile(dir / "img/LARGE.tbl", repeated("a streamed table row ", 40000));
        std::string noise(150000, '\0');
        for (size_t i = 0; i < noise.size(); ++i)
            noise[i] = static_cast<char>((i * 2654435761u) >> 13);
        writeFile(dir / "img/RANDOM.bin", noise); // does not deflate: stored blocks, or a stored entry
        zip.Limits.wholeBufferLimit = 256 << 10;
        zip.Limits.chunkSize = 64 << 10;
        zip.Limits.tileSize = 48 << 10;
        zip.Limits.workers = 3;
        ASSERT_EQ(zipFolder(dir / "good.zip", dir / "img/*.*"), result::Success);
        writeFile(dir / "out.zip", "the previous good backup");
        std::filesystem::create_directories(dir.path() / "target");
        writeFile(dir / "target/CUSTOMER.tbl", "the operator's current file");
        writeFile(dir / "target/LARGE.tbl", "another current file");
    }
};

// Every fault ends in its result, with the old zip byte for byte as it was and nothing left behind.
TEST_F(ZipFaultTest, ZipWriterFaultsKeepTheOldZip) {
    const FaultCase cases[] = {
        {"disk full at once", {.writableBytes = 0}, result::DiskFull},
        {"disk full after 20 kB", {.writableBytes = 20000}, result::DiskFull},
        {"I/O error after 40 kB", {.writableBytes = 40000, .writeError = EIO}, result::DeviceError},
        {"read error in a source", {.readableBytes = 50000}, result::CannotReadFile},
        {"read error in the streamed source", {.readableBytes = 600000}, result::CannotReadFile},
        {"the final rename fails", {.failingRename = 0}, result::DeviceError},
    };
    runFaults(
        cases, [&] { return zipFolder(dir / "out.zip", dir / "img/*.*"); },
        [&] { return readFile(dir / "out.zip") == "the previous good backup"; }, dir.path());
    EXPECT_EQ(zipFolder(dir / "out.zip", dir / "img/*.*"), result::Success) << "the device is well again";
}

TEST_F(ZipFaultTest, ExtractionFaultsReplaceNothing) {
    const auto before = folderContents(dir.path() / "target");
    const FaultCase cases[] = {
        {"disk full at once", {.writableBytes = 0}, result::DiskFull},
        {"disk full in the streamed entry", {.writableBytes = 500000}, result::DiskFull},
        {"I/O error writing", {.writableBytes = 20000, .writeError = EIO}, result::DeviceError},
        {"I/O error reading the zip", {.readableBytes = 30000}, result::DeviceError},
        {"the first rename of the swap fails", {.failingRename = 1}, result::DeviceError},
        {"a rename halfway through the swap fails", {.failingRename = 6}, result::DeviceError},
    };
    runFaults(
        cases, [&] { return unzipTo(dir / "good.zip", dir / "target"); },
        [&] { return folderContents(dir.path() / "target") == before; }, dir.path() / "target");
    ASSERT_EQ(unzipTo(dir / "good.zip", dir / "target"), result::Success);
    EXPECT_TRUE(readFile(dir / "target/LARGE.tbl") == readFile(dir / "img/LARGE.tbl"));
}

// Our WinZip AES framing against libzip's own, 7-Zip's and bsdtar's, both ways, byte for byte.
TEST_F(ZipFaultTest, WinZipAesMatchesLibzipSevenZipAndBsdtarBothWays) {
    if (!haveTool("7z") || !haveTool("bsdtar")) GTEST_SKIP() << "7z or bsdtar is not installed";
    const auto expected = expectedSelection();
    // Ours, read by libzip's decryption.
    int error = 0;
    zip_t* za = zip_open((dir / "good.zip").c_str(), ZIP_RDONLY, &error);
    ASSERT_NE(za, nullptr);
    zip_set_default_password(za, kPassword);
    for (zip_int64_t i = 0; i < zip_get_num_entries(za, 0); ++i) {
        zip_file_t* file = zip_fopen_index(za, static_cast<zip_uint64_t>(i), 0);
        ASSERT_NE(file, nullptr) << zip_strerror(za);
        std::string bytes;
        char buffer[65536];
        for (zip_int64_t n; (n = zip_fread(file, buffer, sizeof buffer)) > 0;)
            bytes.append(buffer, static_cast<size_t>(n));
        EXPECT_EQ(zip_fclose(file), 0);
        const char* name = zip_get_name(za, static_cast<zip_uint64_t>(i), 0);
        EXPECT_TRUE(bytes == expected.at(name)) << name;
    }
    zip_discard(za);
    // Ours, read by 7-Zip and bsdtar.
    ASSERT_EQ(shell("7z x -y -p" + std::string(kPassword) + " -o'" + (dir / "by7z") + "' '" +
                    (dir / "good.zip") + "'"),
              0);
    EXPECT_TRUE(folderContents(dir.path() / "by7z") == expected);
    std::filesystem::create_directories(dir.path() / "bybsd");
    ASSERT_EQ(shell("cd '" + (dir / "bybsd") + "' && bsdtar --passphrase " + kPassword + " -xf ../good.zip"),
              0);
    EXPECT_TRUE(folderContents(dir.path() / "bybsd") == expected);

    // Theirs, read by us: 7-Zip stores what does not deflate as AE-2 without a CRC.
    const std::string files = "abc.ADD CUSTOMER.tbl LARGE.tbl RANDOM.bin NOEXT empty.tbl";
    ASSERT_EQ(
        shell("cd '" + (dir / "img") + "' && 7z a -tzip -mem=AES256 -p" + kPassword + " ../7z.zip " + files),
        0);
    ASSERT_EQ(shell("cd '" + (dir / "img") +
                    "' && bsdtar --format zip --options zip:encryption=aes256 --passphrase " + kPassword +
                    " -cf ../bsd.zip " + files),
              0);
    za = zip_open((dir / "libzip.zip").c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    for (const auto& [name, bytes] : expected) {
        const zip_int64_t index =
            zip_file_add(za, name.c_str(), zip_source_buffer(za, bytes.data(), bytes.size(), 0), 0);
        zip_file_set_encryption(za, static_cast<zip_uint64_t>(index), ZIP_EM_AES_256, kPassword);
    }
    ASSERT_EQ(zip_close(za), 0);
    for (const char* name : {"7z.zip", "bsd.zip", "libzip.zip"}) {
        const std::string out = dir / (std::string(name) + ".out");
        ASSERT_EQ(unzipTo(dir / name, out), result::Success) << name;
        EXPECT_TRUE(folderContents(out) == expected) << name;
    }

    // A flipped byte in the ciphertext fails the code; a wrong password fails the verifier.
    std::string damaged = readFile(dir / "7z.zip");
    damaged[damaged.size() / 3] ^= 0x01;
    writeFile(dir / "damaged.zip", damaged);
    EXPECT_EQ(unzipTo(dir / "damaged.zip", dir / "d.out"), result::DamagedArchive);
    zip.SetProperty(dispid::EncryptionPassword, u"wrong");
    for (const char* name : {"good.zip", "7z.zip", "bsd.zip"})
        EXPECT_EQ(unzipTo(dir / name, dir / "w.out"), result::WrongPassword) << name;
}

TEST_F(ZipFaultTest, AbortHalfwayThroughALargeStreamedEntry) {
    const auto abortAtHalf = [this](std::uint64_t from) {
        zip.OnFileStatus = [from](IZipControl& sender, const std::u16string& name, std::int32_t size,
                                  std::int32_t, std::int32_t processed, std::int16_t, std::int16_t, bool) {
            if (name == u"LARGE.tbl" && processed >= static_cast<std::int32_t>(from) && processed >= size / 2)
                sender.Abort();
        };
    };
    abortAtHalf(1);
    EXPECT_EQ(zipFolder(dir / "out.zip", dir / "img/*.*"), result::Cancelled);
    EXPECT_TRUE(readFile(dir / "out.zip") == "the previous good backup");
    const auto before = folderContents(dir.path() / "target");
    EXPECT_EQ(unzipTo(dir / "good.zip", dir / "target"), result::Cancelled);
    EXPECT_TRUE(folderContents(dir.path() / "target") == before);
    expectNoLeftovers(dir.path());
}

// Entries that cannot all be placed refuse the extraction before any file is written.
TEST_F(ZipFaultTest, TargetsAreCheckedBeforeAnyIsReplaced) {
    const std::string crafted = dir / "crafted.zip";
    const auto make = [&](const std::vector<std::string>& names, bool link) {
        int error = 0;
        zip_t* za = zip_open(crafted.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
        static const char payload[] = "new";
        for (const auto& name : names) {
            const zip_int64_t index =
                zip_file_add(za, name.c_str(), zip_source_buffer(za, payload, sizeof payload - 1, 0), 0);
            if (link && name == names.back())
                zip_file_set_external_attributes(za, static_cast<zip_uint64_t>(index), 0, ZIP_OPSYS_UNIX,
                                                 (S_IFLNK | 0777u) << 16);
        }
        ASSERT_EQ(zip_close(za), 0);
    };
    zip.SetProperty(dispid::EncryptionPassword, u"");
    std::filesystem::create_directories(dir.path() / "target/abc.ADD"); // a folder where a file goes
    const auto before = folderContents(dir.path() / "target");
    make({"CUSTOMER.tbl", "LARGE.tbl", "abc.ADD"}, false);
    EXPECT_EQ(unzipTo(crafted, dir / "target"), result::CannotWriteFile);
    make({"CUSTOMER.tbl", "a/x.txt", "b/x.txt"}, false);
    EXPECT_EQ(unzipTo(crafted, dir / "target"), result::DuplicateName);
    make({"CUSTOMER.tbl", "customer.TBL"}, false);
    EXPECT_EQ(unzipTo(crafted, dir / "target"), result::DuplicateName);
    make({"CUSTOMER.tbl", "LARGE.tbl", "link"}, true);
    EXPECT_EQ(unzipTo(crafted, dir / "target"), result::UnsafeEntryName);
    EXPECT_TRUE(folderContents(dir.path() / "target") == before);
    expectNoLeftovers(dir.path() / "target");

    // A link planted under the old part-file name is not followed, and an entry of that name is a file
    // like any other.
    writeFile(dir / "outside.txt", "not to be touched");
    std::filesystem::create_symlink(dir / "outside.txt", dir / "target/TEMP_CUSTOMER.tbl.part");
    make({"CUSTOMER.tbl", "TEMP_LARGE.tbl.part", "LARGE.tbl"}, false);
    EXPECT_EQ(unzipTo(crafted, dir / "target"), result::Success);
    EXPECT_EQ(readFile(dir / "outside.txt"), "not to be touched");
    for (const char* name : {"CUSTOMER.tbl", "TEMP_LARGE.tbl.part", "LARGE.tbl"})
        EXPECT_EQ(readFile(dir.path() / "target" / name), "new") << name;
}

TEST_F(ZipFaultTest, DuplicateNamesAreRefusedWhenZipping) {
    zip.SetProperty(dispid::ProcessSubfolders, true);
    writeFile(dir / "img/sub/CUSTOMER.tbl", "same bare name as the one above");
    EXPECT_EQ(zipFolder(dir / "out.zip", dir / "img/*.*"), result::DuplicateName);
    EXPECT_TRUE(readFile(dir / "out.zip") == "the previous good backup");
}

TEST_F(ZipFaultTest, ZipsAndExtractedFilesAreTheOwnersOnly) {
    ASSERT_EQ(unzipTo(dir / "good.zip", dir / "fresh"), result::Success);
    for (const char* file : {"good.zip", "fresh/CUSTOMER.tbl", "fresh/LARGE.tbl"})
        EXPECT_EQ(std::filesystem::status(dir / file).permissions() & std::filesystem::perms::all,
                  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
            << file;
}

// What a killed run left is cleaned up by the next run that touches the folder.
TEST_F(ZipFaultTest, StaleTemporaryFilesGoWithTheNextRun) {
    writeFile(dir / "TEMP_out.zip.4242-17.tmp", "a zip write that was killed");
    writeFile(dir / "TEMP_out.zip.4242-17.tmp.a1B2c3", "and libzip's own temporary file");
    writeFile(dir / "target/TEMP_LARGE.tbl.part", "an old part file");
    std::filesystem::create_directories(dir.path() / "target/TEMP_SWAP.abc123/old");
    writeFile(dir / "target/TEMP_SWAP.abc123/new.0", "staged, never swapped");
    writeFile(dir / "TEMP_keep_me.txt", "not ours: no process-and-random suffix");
    writeFile(dir / "TEMP_report.2024-Q1.tmp", "not ours either");
    ASSERT_EQ(zipFolder(dir / "out.zip", dir / "img/*.*"), result::Success);
    ASSERT_EQ(unzipTo(dir / "good.zip", dir / "target"), result::Success);
    EXPECT_FALSE(std::filesystem::exists(dir / "TEMP_out.zip.4242-17.tmp"));
    EXPECT_FALSE(std::filesystem::exists(dir / "TEMP_out.zip.4242-17.tmp.a1B2c3"));
    EXPECT_TRUE(std::filesystem::exists(dir / "TEMP_keep_me.txt"));
    EXPECT_TRUE(std::filesystem::exists(dir / "TEMP_report.2024-Q1.tmp"));
    expectNoLeftovers(dir.path() / "target");
}

} // namespace
