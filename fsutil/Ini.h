#pragma once
#include <string>

namespace fsutil {

// One string from an INI file, as the original platform reads it: section and key without regard to case,
// the first occurrence of a key wins, an inline ";" is part of the value, matching double quotes around
// the value are removed; the default when the file, the section or the key is missing.
std::string readIniString(const std::string& file, const std::string& section, const std::string& key,
                          const std::string& fallback);
// The same from a file's text.
std::string parseIniString(const std::string& text, const std::string& section, const std::string& key,
                           const std::string& fallback);

} // namespace fsutil
