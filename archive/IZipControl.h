#pragma once
// The zip component's interface: settings addressed by id or name, compression into one (AES-256 encrypted)
// zip file, extraction, result codes and the per-file status event. Strings are UTF-16.
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace archive {

struct ZipDate {
    int year = 1900;
    int month = 1;
    int day = 1;
    auto operator<=>(const ZipDate&) const = default;
};

using ZipValue = std::variant<bool, std::int32_t, std::u16string, ZipDate>;

// A call that fails as a call (an unknown setting, a value of the wrong kind or out of range).
class ZipError : public std::runtime_error {
  public:
    explicit ZipError(const std::string& message) : std::runtime_error(message) {}
};

namespace dispid {
enum : int {
    ZipFilename = 100,
    SplitSize = 101,
    SpanMultipleDisks = 102,
    UseTempFile = 103,
    TempFolder = 104,
    BasePath = 200,
    PreservePaths = 201,
    ProcessSubfolders = 202,
    UnzipToFolder = 203,
    FilesToProcess = 300,
    FilesToExclude = 301,
    MinDateToProcess = 302,
    MaxDateToProcess = 303,
    MinSizeToProcess = 304,
    MaxSizeToProcess = 305,
    RequiredFileAttributes = 306,
    ExcludedFileAttributes = 307,
    SkipIfExisting = 308,
    SkipIfNotExisting = 309,
    SkipIfOlderDate = 310,
    SkipIfOlderVersion = 311,
    CompressionLevel = 400,
    ExtraHeaders = 401,
    EncryptionPassword = 402,
    ZipOpenedFiles = 403,
    BackgroundProcessing = 404,
    SfxBinaryModule = 501,
    SfxDefaultPassword = 505,
    SfxDefaultUnzipToFolder = 506,
    SfxExistingFileBehavior = 507,
    SfxReadmeFile = 508,
    SfxExecuteAfter = 509,
    SfxInstallMode = 510,
    SfxProgramGroup = 511,
    SfxProgramGroupItems = 512,
    SfxExtensionsToAssociate = 513,
    SfxIconFilename = 514,
    ActiveOperation = 2901,
};
}

// Values of ActiveOperation.
enum ZipOperation : std::int32_t { zoNone = 0, zoZip = 3, zoUnzip = 4, zoTest = 5 };

// Result codes of the operations; 0 is success.
namespace result {
enum : std::int32_t {
    Success = 0,
    NothingSelected = 1,
    CannotCreateZip = 2,
    DiskFull = 3,
    WrongPassword = 4,
    DamagedArchive = 5,
    NotAZipFile = 6,
    Busy = 7,
    Cancelled = 8,
    ZipFileNotFound = 9,
    CannotReadFile = 10,
    CannotWriteFile = 11,
    UnsupportedEntry = 12,
    PasswordRequired = 13,
    VerifyFailed = 14,
    FolderNotFound = 15,
    DuplicateName = 16,
    UnsafeEntryName = 17,
    DeviceError = 18,
    OutOfMemory = 19,
};
}

class IZipControl;

// sender, file name, size, compressed size, bytes processed, percent of the file, compression ratio (percent
// saved), file completed. Raised on the calling thread: with bytes processed 0 at the start of each file.
using FileStatusHandler =
    std::function<void(IZipControl& sender, const std::u16string& fileName, std::int32_t size,
                       std::int32_t compressedSize, std::int32_t bytesProcessed, std::int16_t bytesPercent,
                       std::int16_t compressionRatio, bool fileCompleted)>;

// sender, bytes processed, bytes to process: the whole operation's share done. Raised on the calling thread
// at every percent and at least every half second, 100% at the end.
using ProgressHandler = std::function<void(IZipControl& sender, std::uint64_t done, std::uint64_t total)>;

struct ZipEntryInfo {
    std::u16string name;
    std::uint64_t size = 0;
    std::uint64_t compressedSize = 0;
    bool encrypted = false;
    std::u16string method; // "AES-256", "ZipCrypto", "none"
};

class IZipControl {
  public:
    virtual ~IZipControl() = default;

    virtual void SetProperty(int dispId, const ZipValue& value) = 0;
    virtual void SetProperty(std::string_view name, const ZipValue& value) = 0;
    virtual ZipValue GetProperty(int dispId) const = 0;
    virtual ZipValue GetProperty(std::string_view name) const = 0;

    virtual std::int32_t ZipFiles() = 0;
    virtual std::int32_t UnzipFiles() = 0;
    // Reads every entry of ZipFilename back (decrypted, inflated, checked) without writing anything.
    virtual std::int32_t TestZipFile() = 0;
    virtual std::int32_t ListZipFile(std::vector<ZipEntryInfo>& entries) = 0;
    virtual std::u16string DescribeResult(std::int32_t kind, std::int32_t code) const = 0;
    virtual std::int32_t ActiveOperation() const = 0;
    // Stops the running operation at its next block or file; it then returns result::Cancelled.
    virtual void Abort() = 0;

    // The three start-up operations, called once each in this order:
    // Checks that the libraries behind the component can write AES-256 zip files; throws ZipError if not.
    virtual void CheckLibraries() = 0;
    // Sets the counters of files and bytes processed back to zero.
    virtual void ResetStatistics() = 0;
    // Forgets the result code of the last operation.
    virtual void ClearLastResult() = 0;

    FileStatusHandler OnFileStatus;
    ProgressHandler OnProgress;
};

} // namespace archive
