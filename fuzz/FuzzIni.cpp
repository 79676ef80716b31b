// The settings file's reading: any text gives a value or the default.
#include "fsutil/Ini.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string root = fsutil::parseIniString(text, "BACKUP", "BACKUP_FOLDER", "<default>");
    if (root.size() > size && root != "<default>") __builtin_trap();
    return 0;
}
