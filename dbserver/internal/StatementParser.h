#pragma once
// The server's statement language: EXECUTE PROCEDURE name(argument, ...), each argument a string literal in
// single quotes ('' standing for one quote) or NULL.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dbserver {

struct ProcedureCall {
    std::string name;
    std::vector<std::optional<std::string>> arguments; // nullopt for NULL
};

// Throws DbError naming the 1-based position of a syntax error.
ProcedureCall parseStatement(std::string_view statement);

} // namespace dbserver
