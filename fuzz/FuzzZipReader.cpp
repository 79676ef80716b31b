// The zip reader through the component: a zip file of any bytes is extracted into a fresh folder and tested.
#include "archive/TZipControl.h"
#include "fsutil/Utf.h"

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    namespace fs = std::filesystem;
    static const fs::path root = fs::temp_directory_path() / ("fuzz-zip-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root);
    std::ofstream(root / "input.zip", std::ios::binary)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

    archive::TZipControl zip;
    zip.Limits.tileSize = 1 << 12; // several tiles per entry
    zip.Limits.workers = 2;
    // The first byte picks a password, so that encrypted entries of the seeds are reached too.
    zip.SetProperty(archive::dispid::EncryptionPassword, size > 0 && (data[0] & 1) ? u"" : u"KESTA7946");
    zip.SetProperty(archive::dispid::PreservePaths, size > 0 && (data[0] & 2) != 0);
    zip.setZipFilename(fsutil::toUtf16((root / "input.zip").string()));
    zip.setUnzipToFolder(fsutil::toUtf16((root / "out").string()));
    zip.UnzipFiles();
    zip.TestZipFile();
    std::vector<archive::ZipEntryInfo> entries;
    zip.ListZipFile(entries);

    // Whatever the archive said, nothing may land outside the folder.
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (!entry.path().string().starts_with((root / "out").string()) &&
            entry.path() != root / "input.zip" && entry.path() != root / "out")
            __builtin_trap();
    fs::remove_all(root);
    return 0;
}
