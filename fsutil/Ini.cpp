#include "fsutil/Ini.h"

#include <INIReader.h>

#include <fstream>
#include <sstream>

namespace fsutil {

std::string parseIniString(const std::string& text, const std::string& section, const std::string& key,
                           const std::string& fallback) {
    const INIReader reader(text.data(), text.size());
    return reader.ParseError() < 0 ? fallback : reader.Get(section, key, fallback);
}

std::string readIniString(const std::string& file, const std::string& section, const std::string& key,
                          const std::string& fallback) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return fallback;
    std::stringstream text;
    text << in.rdbuf();
    return parseIniString(text.str(), section, key, fallback);
}

} // namespace fsutil
