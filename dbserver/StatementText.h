#pragma once
// Building the server's statements: the text between the single quotes of a string literal.
#include <string>
#include <string_view>

namespace dbserver {

// The text as a literal's body: each single quote doubled, as the statement parser reads it back.
std::string sqlLiteralBody(std::string_view text);

} // namespace dbserver
