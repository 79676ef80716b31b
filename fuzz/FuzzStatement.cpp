// The server's statement parser: any text is parsed or refused with a DbError, nothing else.
#include "dbserver/DbError.h"
#include "dbserver/internal/StatementParser.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    try {
        const auto call =
            dbserver::parseStatement(std::string_view(reinterpret_cast<const char*>(data), size));
        for (const auto& argument : call.arguments)
            if (argument && argument->find('\0') != std::string::npos) __builtin_trap();
    } catch (const dbserver::DbError&) {
    }
    return 0;
}
