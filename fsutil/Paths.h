#pragma once
// Path rules shared by the layers that touch the file system: the program's paths use "\" as a separator,
// and a name is matched without regard to case when the exact name does not exist.
#include <filesystem>
#include <string>
#include <string_view>

namespace fsutil {

// The prefix of every temporary name the program makes beside real files: the window's zip settings leave
// "TEMP_*.*" out, so a half-made file is never packed into a backup.
inline constexpr std::string_view kTempPrefix = "TEMP_";

// Where a path that starts with a single "\" (rooted on the current drive) lands; "/" unless changed.
void setDriveRoot(std::filesystem::path root);
const std::filesystem::path& driveRoot();

// The path with "\" read as a separator; no name is looked up.
std::filesystem::path toNative(std::string_view path);

// The native path, with each component that does not exist under its exact name replaced by an existing
// entry whose name differs only in case. Components that match nothing are kept as written.
std::filesystem::path resolve(std::string_view path);
std::filesystem::path resolveNative(const std::filesystem::path& nativePath);

// True when the path names a regular file whose modification time can be read.
bool fileExists(std::string_view path);

// The running executable's folder, ending in its separator.
std::string programFolder();

bool equalsIgnoringCase(std::string_view a, std::string_view b);
std::string toUpper(std::string_view text);

// Wildcard match of a whole name ("*" any run, "?" one character), without regard to case.
bool wildcardMatch(std::string_view pattern, std::string_view name);

} // namespace fsutil
