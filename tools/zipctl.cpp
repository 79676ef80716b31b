// zipctl: packs, unpacks, tests and lists backup zip files with the window's start-up settings.
#include "archive/TZipControl.h"
#include "fsutil/StopSignals.h"
#include "fsutil/Utf.h"

#include <iostream>

using namespace archive;
using fsutil::toUtf16;
using fsutil::toUtf8;

namespace {

const char* const kUsage = "usage: zipctl [--password P] zip|unzip|test|list ZIPFILE [FOLDER]\n";

// The settings the main window gives the component when it starts.
void applyWindowSettings(TZipControl& zip, const std::string& password) {
    using namespace dispid;
    zip.SetProperty(BasePath, u"");
    zip.SetProperty(CompressionLevel, 6);
    zip.SetProperty(EncryptionPassword, toUtf16(password));
    zip.SetProperty(RequiredFileAttributes, 0);
    zip.SetProperty(ExcludedFileAttributes, 0);
    zip.SetProperty(FilesToExclude, u"TEMP_*.*");
    zip.SetProperty(PreservePaths, false);
    zip.SetProperty(ProcessSubfolders, false);
    zip.SetProperty(ExtraHeaders, 0);
}

TZipControl* running = nullptr;

} // namespace

int main(int argc, char** argv) {
    fsutil::stopOnSignals([] {
        if (running) running->Abort();
    });
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string password = "KESTA7946";
    if (args.size() >= 2 && args[0] == "--password") {
        password = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    const bool needsFolder = !args.empty() && (args[0] == "zip" || args[0] == "unzip");
    if (args.size() != (needsFolder ? 3u : 2u)) {
        std::cerr << kUsage;
        return 1;
    }
    try {
        TZipControl zip;
        running = &zip;
        applyWindowSettings(zip, password);
        zip.OnFileStatus = [](IZipControl&, const std::u16string& name, std::int32_t size,
                              std::int32_t compressed, std::int32_t processed, std::int16_t,
                              std::int16_t ratio, bool completed) {
            if (completed)
                std::cout << toUtf8(name) << "  " << size << " -> " << compressed << " bytes (" << ratio
                          << "% saved)\n";
            else if (processed == 0)
                std::cout.flush();
        };
        zip.setZipFilename(toUtf16(args[1]));
        std::int32_t code;
        if (args[0] == "zip") {
            zip.setFilesToProcess(toUtf16(args[2] + "/*.*"));
            code = zip.ZipFiles();
        } else if (args[0] == "unzip") {
            zip.setUnzipToFolder(toUtf16(args[2]));
            code = zip.UnzipFiles();
        } else if (args[0] == "test") {
            code = zip.TestZipFile();
            if (code == result::Success) std::cout << "ok\n";
        } else if (args[0] == "list") {
            std::vector<ZipEntryInfo> entries;
            code = zip.ListZipFile(entries);
            for (const auto& entry : entries)
                std::cout << toUtf8(entry.name) << "  " << entry.size << "  " << entry.compressedSize << "  "
                          << toUtf8(entry.method) << "\n";
        } else {
            std::cerr << kUsage;
            return 1;
        }
        running = nullptr;
        if (code != result::Success) {
            std::cerr << "zipctl: result " << code << ": " << toUtf8(zip.DescribeResult(0, code)) << "\n";
            return fsutil::stopSignal() ? 128 + fsutil::stopSignal() : 1;
        }
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "zipctl: " << error.what() << "\n";
        return 1;
    }
}
