#include "fsutil/Ini.h"

#include "fsutil/Paths.h"

#include <fstream>
#include <sstream>

namespace fsutil {
namespace {

std::string trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return "";
    const size_t last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

} // namespace

// As the original platform reads INI files: sections and keys without regard to case, the first occurrence
// of a key wins, a ";" inside a value is part of it, and a value in matching double quotes loses them.
std::string parseIniString(const std::string& text, const std::string& section, const std::string& key,
                           const std::string& fallback) {
    std::istringstream lines(text);
    bool inSection = false;
    for (std::string line; std::getline(lines, line);) {
        const std::string entry = trimmed(line);
        if (entry.empty() || entry[0] == ';') continue;
        if (entry[0] == '[') {
            const size_t close = entry.find(']');
            inSection = close != std::string::npos &&
                        equalsIgnoringCase(trimmed(entry.substr(1, close - 1)), section);
            continue;
        }
        const size_t equals = entry.find('=');
        if (!inSection || equals == std::string::npos ||
            !equalsIgnoringCase(trimmed(entry.substr(0, equals)), key))
            continue;
        std::string value = trimmed(entry.substr(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        return value;
    }
    return fallback;
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
