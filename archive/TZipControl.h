#pragma once
#include "archive/IZipControl.h"
#include "archive/ZipLimits.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>

namespace archive {

// The zip component. Settings not listed in its header's effects are accepted and kept without effect:
// TempFolder (the new zip is always written beside ZipFilename, so that it replaces the old one in one
// rename), SpanMultipleDisks, ExtraHeaders, ZipOpenedFiles, SkipIfOlderVersion and the Sfx settings other
// than SfxBinaryModule. Settings the component cannot honour refuse values other than their neutral one:
// SplitSize (0), SfxBinaryModule (empty), BackgroundProcessing (false).
class TZipControl final : public IZipControl {
  public:
    TZipControl();
    ~TZipControl() override;

    void SetProperty(int dispId, const ZipValue& value) override;
    void SetProperty(std::string_view name, const ZipValue& value) override;
    ZipValue GetProperty(int dispId) const override;
    ZipValue GetProperty(std::string_view name) const override;

    std::int32_t ZipFiles() override;
    std::int32_t UnzipFiles() override;
    std::int32_t TestZipFile() override;
    std::int32_t ListZipFile(std::vector<ZipEntryInfo>& entries) override;
    std::u16string DescribeResult(std::int32_t kind, std::int32_t code) const override;
    std::int32_t ActiveOperation() const override { return activeOperation_; }
    void Abort() override;

    void CheckLibraries() override;
    void ResetStatistics() override;
    void ClearLastResult() override;

    std::int32_t LastResult() const { return lastResult_; }
    std::uint64_t FilesProcessed() const { return filesProcessed_; }

    // The engine's sizes and thread counts; tests make them small.
    ZipLimits Limits;

    // Test hook: called with the finished temporary zip before it is read back, so a test can damage it.
    std::function<void(const std::filesystem::path&)> testHookBeforeVerify;

    // Typed access to the settings the window changes before each operation.
    std::u16string ZipFilename() const;
    void setZipFilename(const std::u16string& name) { SetProperty(dispid::ZipFilename, name); }
    void setFilesToProcess(const std::u16string& mask) { SetProperty(dispid::FilesToProcess, mask); }
    void setUnzipToFolder(const std::u16string& folder) { SetProperty(dispid::UnzipToFolder, folder); }

  private:
    int idOf(std::string_view name) const;
    bool flag(int id) const;
    std::int32_t number(int id) const;
    std::string text(int id) const; // UTF-8
    std::int32_t finish(std::int32_t code);
    std::int32_t readZipFile(std::int32_t operation); // extracts, or with zoTest only checks
    std::function<void(const std::string&, std::uint64_t, std::uint64_t, std::uint64_t, bool)> statusSink();
    void raiseProgress(std::uint64_t done, std::uint64_t total);
    void raiseStatus(const std::string& name, std::uint64_t size, std::uint64_t compressedSize,
                     std::uint64_t processed, bool completed);

    std::map<int, ZipValue> values_;
    std::int32_t activeOperation_ = zoNone;
    std::int32_t lastResult_ = result::Success;
    std::uint64_t filesProcessed_ = 0;
    std::atomic<bool> abortRequested_ = false;
    int lastPercent_ = -1;
    std::chrono::steady_clock::time_point lastProgress_;
};

} // namespace archive
