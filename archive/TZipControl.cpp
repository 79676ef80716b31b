#include "archive/TZipControl.h"

#include "archive/internal/ZipEngine.h"
#include "archive/internal/ZipFile.h"
#include "fsutil/FileSetSwap.h"
#include "fsutil/Io.h"
#include "fsutil/Paths.h"
#include "fsutil/TempFile.h"
#include "fsutil/Utf.h"

#include <zip.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <set>

namespace archive {
namespace {

namespace fs = std::filesystem;

struct Setting {
    int id;
    std::string_view name;
    ZipValue stored; // the value a new component starts from
    bool readOnly = false;
};

const ZipDate kMinDate{1900, 1, 1};
const ZipDate kMaxDate{9999, 12, 31};

const std::vector<Setting>& settings() {
    using namespace dispid;
    static const std::vector<Setting> table = {
        {ZipFilename, "ZipFilename", u""},
        {SplitSize, "SplitSize", 0},
        {SpanMultipleDisks, "SpanMultipleDisks", 2},
        {UseTempFile, "UseTempFile", true},
        {TempFolder, "TempFolder", u""},
        {BasePath, "BasePath", u""},
        {PreservePaths, "PreservePaths", true},
        {ProcessSubfolders, "ProcessSubfolders", false},
        {UnzipToFolder, "UnzipToFolder", u""},
        {FilesToProcess, "FilesToProcess", u""},
        {FilesToExclude, "FilesToExclude", u""},
        {MinDateToProcess, "MinDateToProcess", kMinDate},
        {MaxDateToProcess, "MaxDateToProcess", kMaxDate},
        {MinSizeToProcess, "MinSizeToProcess", 0},
        {MaxSizeToProcess, "MaxSizeToProcess", 0},
        {RequiredFileAttributes, "RequiredFileAttributes", 0},
        {ExcludedFileAttributes, "ExcludedFileAttributes", 24},
        {SkipIfExisting, "SkipIfExisting", false},
        {SkipIfNotExisting, "SkipIfNotExisting", false},
        {SkipIfOlderDate, "SkipIfOlderDate", false},
        {SkipIfOlderVersion, "SkipIfOlderVersion", false},
        {CompressionLevel, "CompressionLevel", 6},
        {ExtraHeaders, "ExtraHeaders", 10},
        {EncryptionPassword, "EncryptionPassword", u""},
        {ZipOpenedFiles, "ZipOpenedFiles", false},
        {BackgroundProcessing, "BackgroundProcessing", false},
        {SfxBinaryModule, "SfxBinaryModule", u""},
        {SfxDefaultPassword, "SfxDefaultPassword", u""},
        {SfxDefaultUnzipToFolder, "SfxDefaultUnzipToFolder", u""},
        {SfxExistingFileBehavior, "SfxExistingFileBehavior", 0},
        {SfxReadmeFile, "SfxReadmeFile", u""},
        {SfxExecuteAfter, "SfxExecuteAfter", u""},
        {SfxInstallMode, "SfxInstallMode", false},
        {SfxProgramGroup, "SfxProgramGroup", u""},
        {SfxProgramGroupItems, "SfxProgramGroupItems", u""},
        {SfxExtensionsToAssociate, "SfxExtensionsToAssociate", u""},
        {SfxIconFilename, "SfxIconFilename", u""},
        {ActiveOperation, "ActiveOperation", 0, true},
    };
    return table;
}

const Setting& settingById(int id) {
    for (const auto& setting : settings())
        if (setting.id == id) return setting;
    throw ZipError("Unknown zip setting id " + std::to_string(id));
}

bool validDate(const ZipDate& date) {
    static const int days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return date.year >= 1 && date.year <= 9999 && date.month >= 1 && date.month <= 12 && date.day >= 1 &&
           date.day <= days[date.month - 1];
}

// Why a value cannot be taken, or empty when it can.
std::string refusal(const Setting& setting, const ZipValue& value) {
    using namespace dispid;
    if (setting.readOnly) return "it is read-only";
    if (value.index() != setting.stored.index()) return "the value is of the wrong kind";
    const auto* number = std::get_if<std::int32_t>(&value);
    switch (setting.id) {
    case CompressionLevel:
        return *number < 0 || *number > 9 ? "the level must be 0 to 9" : "";
    case SplitSize:
        return *number != 0 ? "splitting a zip file into parts is not supported" : "";
    case SpanMultipleDisks:
        return *number < 0 || *number > 2 ? "the value must be 0, 1 or 2" : "";
    case MinSizeToProcess:
    case MaxSizeToProcess:
    case ExtraHeaders:
    case SfxExistingFileBehavior:
        return *number < 0 ? "the value must not be negative" : "";
    case RequiredFileAttributes:
    case ExcludedFileAttributes:
        return *number < 0 || *number > 0xFFFF ? "not a set of file attributes" : "";
    case MinDateToProcess:
    case MaxDateToProcess:
        return validDate(std::get<ZipDate>(value)) ? "" : "not a calendar day";
    case SfxBinaryModule:
        return std::get<std::u16string>(value).empty() ? "" : "self-extracting zip files are not supported";
    case BackgroundProcessing:
        return std::get<bool>(value) ? "operations always run on the calling thread" : "";
    default:
        return "";
    }
}

// Windows-style file attributes of a file found on disk.
std::int32_t attributesOf(const fs::directory_entry& entry) {
    constexpr std::int32_t readOnly = 1, hidden = 2, directory = 16, archiveBit = 32;
    std::int32_t attributes = entry.is_directory() ? directory : archiveBit;
    if (::access(entry.path().c_str(), W_OK) != 0) attributes |= readOnly;
    if (entry.path().filename().string().starts_with('.')) attributes |= hidden;
    return attributes;
}

ZipDate dayOf(std::time_t time) {
    std::tm local{};
    localtime_r(&time, &local);
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
}

// "*.*" and "name.*" also match names without a dot, as the program's users expect of a mask.
bool maskMatches(std::string_view mask, std::string_view name) {
    if (fsutil::wildcardMatch(mask, name)) return true;
    return mask.ends_with(".*") && name.find('.') == std::string_view::npos &&
           fsutil::wildcardMatch(mask.substr(0, mask.size() - 2), name);
}

std::vector<std::string> splitList(const std::string& list) {
    std::vector<std::string> items;
    size_t start = 0;
    for (size_t end; (end = list.find_first_of(";|", start)) != std::string::npos; start = end + 1)
        if (end > start) items.push_back(list.substr(start, end - start));
    if (start < list.size()) items.push_back(list.substr(start));
    return items;
}

// Resets ActiveOperation when the operation ends, however it ends.
class OperationScope {
  public:
    OperationScope(std::int32_t& active, std::atomic<bool>& abort, std::int32_t operation) : active_(active) {
        active_ = operation;
        abort = false;
    }
    ~OperationScope() { active_ = zoNone; }
    OperationScope(const OperationScope&) = delete;
    OperationScope& operator=(const OperationScope&) = delete;

  private:
    std::int32_t& active_;
};

} // namespace

TZipControl::TZipControl() {
    for (const auto& setting : settings())
        values_[setting.id] = setting.stored;
}

TZipControl::~TZipControl() = default;

int TZipControl::idOf(std::string_view name) const {
    for (const auto& setting : settings())
        if (fsutil::equalsIgnoringCase(setting.name, name)) return setting.id;
    throw ZipError("Unknown zip setting " + std::string(name));
}

void TZipControl::SetProperty(int dispId, const ZipValue& value) {
    const Setting& setting = settingById(dispId);
    const std::string why = refusal(setting, value);
    if (!why.empty())
        throw ZipError("The zip setting " + std::string(setting.name) + " cannot take this value: " + why);
    values_[dispId] = value;
}

void TZipControl::SetProperty(std::string_view name, const ZipValue& value) {
    SetProperty(idOf(name), value);
}

ZipValue TZipControl::GetProperty(int dispId) const {
    if (dispId == dispid::ActiveOperation) return activeOperation_;
    settingById(dispId);
    return values_.at(dispId);
}

ZipValue TZipControl::GetProperty(std::string_view name) const {
    return GetProperty(idOf(name));
}

bool TZipControl::flag(int id) const {
    return std::get<bool>(values_.at(id));
}
std::int32_t TZipControl::number(int id) const {
    return std::get<std::int32_t>(values_.at(id));
}
std::string TZipControl::text(int id) const {
    return fsutil::toUtf8(std::get<std::u16string>(values_.at(id)));
}
std::u16string TZipControl::ZipFilename() const {
    return std::get<std::u16string>(values_.at(dispid::ZipFilename));
}

std::int32_t TZipControl::finish(std::int32_t code) {
    return lastResult_ = code;
}

void TZipControl::raiseStatus(const std::string& name, std::uint64_t size, std::uint64_t compressedSize,
                              std::uint64_t processed, bool completed) {
    if (completed) ++filesProcessed_;
    if (!OnFileStatus) return;
    const auto clamp32 = [](std::uint64_t v) {
        return static_cast<std::int32_t>(std::min<std::uint64_t>(v, INT32_MAX));
    };
    const auto percent =
        static_cast<std::int16_t>(size == 0 ? (completed ? 100 : 0) : processed * 100 / size);
    const auto ratio = static_cast<std::int16_t>(
        size == 0 || compressedSize >= size ? 0 : 100 - static_cast<int>(compressedSize * 100 / size));
    try {
        OnFileStatus(*this, fsutil::toUtf16(name), clamp32(size), clamp32(compressedSize), clamp32(processed),
                     percent, ratio, completed);
    } catch (...) {
        // A failing handler must not break the archive being written or read.
    }
}

void TZipControl::raiseProgress(std::uint64_t done, std::uint64_t total) {
    if (!OnProgress) return;
    const int percent =
        total == 0 ? 100 : static_cast<int>(std::min<std::uint64_t>(done, total) * 100 / total);
    const auto now = std::chrono::steady_clock::now();
    if (percent == lastPercent_ && now - lastProgress_ < std::chrono::milliseconds(250)) return;
    lastPercent_ = percent;
    lastProgress_ = now;
    try {
        OnProgress(*this, std::min(done, total), total);
    } catch (...) {
        // As with the status event: the operation goes on.
    }
}

std::int32_t TZipControl::ZipFiles() {
    if (activeOperation_ != zoNone) return result::Busy;
    OperationScope scope(activeOperation_, abortRequested_, zoZip);

    // FilesToProcess: a folder and a mask after its last separator.
    std::string selection = text(dispid::FilesToProcess);
    std::replace(selection.begin(), selection.end(), '\\', '/');
    const size_t cut = selection.rfind('/');
    const std::string mask = cut == std::string::npos ? selection : selection.substr(cut + 1);
    const fs::path folder = fsutil::resolve(cut == std::string::npos ? "." : selection.substr(0, cut + 1));
    if (mask.empty()) return finish(result::NothingSelected);
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) return finish(result::FolderNotFound);

    const auto excluded = splitList(text(dispid::FilesToExclude));
    const ZipDate minDate = std::get<ZipDate>(values_[dispid::MinDateToProcess]);
    const ZipDate maxDate = std::get<ZipDate>(values_[dispid::MaxDateToProcess]);
    const auto minSize = static_cast<std::uint64_t>(number(dispid::MinSizeToProcess));
    const auto maxSize = static_cast<std::uint64_t>(number(dispid::MaxSizeToProcess));
    const std::int32_t required = number(dispid::RequiredFileAttributes);
    const std::int32_t refused = number(dispid::ExcludedFileAttributes);
    const fs::path zipPath = fsutil::resolve(text(dispid::ZipFilename));
    const std::string basePath = text(dispid::BasePath);
    const fs::path base = basePath.empty() ? folder : fsutil::resolve(basePath);

    std::vector<engine::SourceFile> files;
    auto consider = [&](const fs::directory_entry& entry) {
        if (!entry.is_regular_file(ec)) return;
        const std::string name = entry.path().filename().string();
        if (!maskMatches(mask, name)) return;
        for (const auto& pattern : excluded)
            if (maskMatches(pattern, name)) return;
        const std::int32_t attributes = attributesOf(entry);
        if ((attributes & required) != required || (attributes & refused) != 0) return;
        struct stat info {};
        if (::stat(entry.path().c_str(), &info) != 0) return;
        const auto size = static_cast<std::uint64_t>(info.st_size);
        if (size < minSize || (maxSize != 0 && size > maxSize)) return;
        const ZipDate day = dayOf(info.st_mtime);
        if (day < minDate || day > maxDate) return;
        if (fs::equivalent(entry.path(), zipPath, ec)) return; // never the zip being replaced
        std::string entryName = name;
        if (flag(dispid::PreservePaths)) {
            const fs::path relative = entry.path().lexically_relative(base);
            entryName =
                relative.empty() || relative.string().starts_with("..") ? name : relative.generic_string();
        }
        files.push_back({entry.path(), entryName, size, info.st_mtime});
    };
    if (flag(dispid::ProcessSubfolders)) {
        for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
            consider(*it);
    } else {
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
            consider(*it);
    }
    if (files.empty()) return finish(result::NothingSelected);
    // Two files under one name would make an archive whose extraction cannot be all or nothing.
    {
        std::set<std::string> names;
        for (const auto& file : files)
            if (!names.insert(fsutil::toUpper(file.entryName)).second) return finish(result::DuplicateName);
    }
    // Largest first, so that the workers start on the long jobs; names break ties for a stable order.
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) {
        return a.size != b.size ? a.size > b.size : a.entryName < b.entryName;
    });

    const fs::path zipFolder = zipPath.parent_path().empty() ? fs::path(".") : zipPath.parent_path();
    if (zipPath.filename().empty() || !fs::is_directory(zipFolder, ec))
        return finish(result::CannotCreateZip);
    if (!flag(dispid::UseTempFile)) fs::remove(zipPath, ec);
    // A zip write that was killed left its temporary file; a half-done swap in the folder is put right
    // before its files are read.
    fsutil::removeStaleFiles(zipFolder, engine::isZipTempName);
    try {
        fsutil::FileSetSwap::recover(folder);
    } catch (const std::system_error&) {
        return finish(result::CannotReadFile);
    }
    fsutil::TempFile temp(zipFolder / engine::zipTempName(zipPath.filename().string()));
    fsutil::Fd tempFd = fsutil::io::createExclusive(temp.path());
    if (!tempFd) return finish(result::CannotCreateZip);
    const fsutil::FileLock tempLock = fsutil::FileLock::tryLock(temp.path(), true); // not stale while held

    engine::WriteOptions options;
    options.limits = Limits;
    options.level = number(dispid::CompressionLevel);
    options.password = text(dispid::EncryptionPassword);
    options.abort = &abortRequested_;
    options.status = statusSink();
    // Writing is the first half of the work; reading the new zip back whole is the second.
    lastPercent_ = -1;
    options.progress = [this](std::uint64_t done, std::uint64_t total) { raiseProgress(done, 2 * total); };
    const std::int32_t written = engine::writeZip(tempFd.get(), files, options);
    if (written != result::Success) return finish(written);
    if (abortRequested_) return finish(result::Cancelled);

    if (testHookBeforeVerify) testHookBeforeVerify(temp.path());
    engine::ReadOptions check;
    check.limits = Limits;
    check.password = options.password;
    check.abort = &abortRequested_;
    check.progress = [this](std::uint64_t done, std::uint64_t total) {
        raiseProgress(total + done, 2 * total);
    };
    const std::int32_t verified = engine::readZip(temp.path(), check);
    if (verified == result::Cancelled) return finish(result::Cancelled);
    if (verified != result::Success) return finish(result::VerifyFailed);
    try {
        if (const int error = fsutil::io::rename(temp.path(), zipPath); error != 0)
            return finish(error == ENOSPC ? result::DiskFull
                          : error == EIO  ? result::DeviceError
                                          : result::CannotCreateZip);
        temp.release();
        fsutil::syncFolder(zipFolder);
    } catch (const std::exception&) {
        return finish(result::CannotCreateZip);
    }
    return finish(result::Success);
}

std::int32_t TZipControl::UnzipFiles() {
    return readZipFile(zoUnzip);
}

std::int32_t TZipControl::TestZipFile() {
    return readZipFile(zoTest);
}

std::function<void(const std::string&, std::uint64_t, std::uint64_t, std::uint64_t, bool)>
TZipControl::statusSink() {
    return
        [this](const std::string& name, std::uint64_t size, std::uint64_t compressed, std::uint64_t processed,
               bool completed) { raiseStatus(name, size, compressed, processed, completed); };
}

std::int32_t TZipControl::readZipFile(std::int32_t operation) {
    if (activeOperation_ != zoNone) return result::Busy;
    OperationScope scope(activeOperation_, abortRequested_, operation);
    const std::string zipName = text(dispid::ZipFilename);
    if (!fsutil::fileExists(zipName)) return finish(result::ZipFileNotFound);
    engine::ReadOptions options;
    options.limits = Limits;
    options.password = text(dispid::EncryptionPassword);
    options.abort = &abortRequested_;
    options.status = statusSink();
    if (operation == zoUnzip) {
        lastPercent_ = -1;
        options.progress = [this](std::uint64_t done, std::uint64_t total) { raiseProgress(done, total); };
        const std::string target = text(dispid::UnzipToFolder);
        options.targetFolder = fsutil::resolve(target.empty() ? "." : target);
        options.preservePaths = flag(dispid::PreservePaths);
        options.skipIfExisting = flag(dispid::SkipIfExisting);
        options.skipIfNotExisting = flag(dispid::SkipIfNotExisting);
        options.skipIfOlderDate = flag(dispid::SkipIfOlderDate);
    }
    return finish(engine::readZip(fsutil::resolve(zipName), options));
}

std::int32_t TZipControl::ListZipFile(std::vector<ZipEntryInfo>& entries) {
    const std::string zipName = text(dispid::ZipFilename);
    if (!fsutil::fileExists(zipName)) return finish(result::ZipFileNotFound);
    return finish(engine::listZip(fsutil::resolve(zipName), entries));
}

void TZipControl::Abort() {
    if (activeOperation_ != zoNone) abortRequested_ = true;
}

std::u16string TZipControl::DescribeResult(std::int32_t /*kind*/, std::int32_t code) const {
    switch (code) {
    case result::Success:
        return u"The operation completed successfully.";
    case result::NothingSelected:
        return u"No file was selected: no file of the folder matches the files to process.";
    case result::CannotCreateZip:
        return u"The zip file cannot be created: check the folder and its permissions.";
    case result::DiskFull:
        return u"The disk is full: the file could not be written completely.";
    case result::WrongPassword:
        return u"The password is wrong: the zip file cannot be decrypted with it.";
    case result::DamagedArchive:
        return u"The zip file is damaged or truncated: an entry failed its check.";
    case result::NotAZipFile:
        return u"The file is not a zip file.";
    case result::Busy:
        return u"The zip component is busy with another operation; try again when it has finished.";
    case result::Cancelled:
        return u"The operation was cancelled.";
    case result::ZipFileNotFound:
        return u"The zip file does not exist.";
    case result::CannotReadFile:
        return u"A file to compress cannot be read.";
    case result::CannotWriteFile:
        return u"A file cannot be written into the folder to extract into.";
    case result::UnsupportedEntry:
        return u"The zip file uses a compression or encryption method that is not supported.";
    case result::PasswordRequired:
        return u"The zip file is encrypted and no password was given.";
    case result::VerifyFailed:
        return u"The new zip file failed its verification and was removed; the old one is kept.";
    case result::FolderNotFound:
        return u"The folder of the files to process does not exist.";
    case result::DuplicateName:
        return u"Two files would have the same name: in the zip file, or in the folder to extract into.";
    case result::UnsafeEntryName:
        return u"The zip file holds entries whose names point outside the folder to extract into, or links; "
               u"nothing was extracted.";
    case result::DeviceError:
        return u"The disk reported an error while a file was read or written; no existing file was replaced.";
    case result::OutOfMemory:
        return u"There was not enough memory for the operation; no existing file was replaced.";
    default:
        return u"Unknown zip result code " + fsutil::toUtf16(std::to_string(code)) + u".";
    }
}

void TZipControl::CheckLibraries() {
    if (!zip_encryption_method_supported(ZIP_EM_AES_256, 1))
        throw ZipError("The zip library on this machine cannot write AES-256 encrypted zip files");
}

void TZipControl::ResetStatistics() {
    filesProcessed_ = 0;
}

void TZipControl::ClearLastResult() {
    lastResult_ = result::Success;
}

} // namespace archive
