#pragma once
#include <string>

namespace fsutil {

// One string from an INI file: section and key without regard to case; the default when the file, the
// section or the key is missing or the file cannot be parsed.
std::string readIniString(const std::string& file, const std::string& section, const std::string& key,
                          const std::string& fallback);
// The same from a file's text.
std::string parseIniString(const std::string& text, const std::string& section, const std::string& key,
                           const std::string& fallback);

} // namespace fsutil
