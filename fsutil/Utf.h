#pragma once
// Conversions between the window's 8-bit (UTF-8) strings and the archive component's 16-bit ones.
#include <string>
#include <string_view>

namespace fsutil {

std::u16string toUtf16(std::string_view utf8);
std::string toUtf8(std::u16string_view utf16);

} // namespace fsutil
