#pragma once
// What the program gives its zip component when the window starts: shared by the window and zipctl, so
// that a zip made by either reads the same in the other.
#include "archive/IZipControl.h"

#include <utility>
#include <vector>

namespace archive {

// The program's fixed password: the zip encryption password, and the server password of DBSYS.
inline constexpr const char* kFixedPassword = "KESTA7946";

// The settings in the order the window sets them, with the given encryption password.
std::vector<std::pair<int, ZipValue>> startupSettings(const std::u16string& password);

} // namespace archive
