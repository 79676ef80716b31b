#include "archive/StartupSettings.h"

namespace archive {

std::vector<std::pair<int, ZipValue>> startupSettings(const std::u16string& password) {
    using namespace dispid;
    return {
        {BasePath, u""},
        {CompressionLevel, 6},
        {EncryptionPassword, password},
        {RequiredFileAttributes, 0},
        {ExcludedFileAttributes, 0},
        {FilesToProcess, u""},
        {FilesToExclude, u"TEMP_*.*"},
        {MinDateToProcess, ZipDate{1900, 1, 1}},
        {MaxDateToProcess, ZipDate{9999, 12, 31}},
        {MinSizeToProcess, 0},
        {MaxSizeToProcess, 0},
        {SplitSize, 0},
        {PreservePaths, false},
        {ProcessSubfolders, false},
        {SkipIfExisting, false},
        {SkipIfNotExisting, false},
        {SkipIfOlderDate, false},
        {SkipIfOlderVersion, false},
        {TempFolder, u""},
        {UseTempFile, true},
        {UnzipToFolder, u""},
        {SpanMultipleDisks, 2},
        {ExtraHeaders, 0},
        {SfxBinaryModule, u""},
    };
}

} // namespace archive
