#include "fsutil/Paths.h"

#include <algorithm>
#include <cctype>
#include <system_error>

namespace fs = std::filesystem;

namespace fsutil {
namespace {
fs::path& driveRootStorage() {
    static fs::path root = "/";
    return root;
}

char lowerAscii(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}
} // namespace

void setDriveRoot(fs::path root) {
    driveRootStorage() = std::move(root);
}
const fs::path& driveRoot() {
    return driveRootStorage();
}

fs::path toNative(std::string_view path) {
    std::string text(path);
    std::replace(text.begin(), text.end(), '\\', '/');
    // "\x" is rooted on the current drive, "\\server" and "/x" are left as they are.
    if (!path.empty() && path[0] == '\\' && (path.size() < 2 || path[1] != '\\'))
        return driveRoot() / text.substr(1);
    return fs::path(text);
}

fs::path resolveNative(const fs::path& nativePath) {
    fs::path result = nativePath.root_path();
    bool matching = true;
    std::error_code ec;
    for (const fs::path& part : nativePath.relative_path()) {
        if (part.empty() || part == ".") continue;
        fs::path exact = result / part;
        if (!matching || part == ".." || fs::symlink_status(exact, ec).type() != fs::file_type::not_found) {
            result = std::move(exact);
            continue;
        }
        const fs::path folder = result.empty() ? fs::path(".") : result;
        fs::path found;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            if (equalsIgnoringCase(it->path().filename().string(), part.string())) {
                found = it->path().filename();
                break;
            }
        }
        if (found.empty()) {
            matching = false;
            result = std::move(exact);
        } else {
            result /= found;
        }
    }
    if (result.empty() && !nativePath.empty()) result = ".";
    return result;
}

fs::path resolve(std::string_view path) {
    return resolveNative(toNative(path));
}

bool fileExists(std::string_view path) {
    if (path.empty()) return false;
    std::error_code ec;
    const fs::path native = resolve(path);
    if (!fs::is_regular_file(native, ec)) return false;
    (void)fs::last_write_time(native, ec);
    return !ec;
}

std::string programFolder() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    std::string folder = exe.parent_path().string();
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lowerAscii(x) == lowerAscii(y); });
}

std::string toUpper(std::string_view text) {
    std::string upper(text);
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

bool wildcardMatch(std::string_view pattern, std::string_view name) {
    size_t p = 0, n = 0, star = std::string_view::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || lowerAscii(pattern[p]) == lowerAscii(name[n]))) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

} // namespace fsutil
