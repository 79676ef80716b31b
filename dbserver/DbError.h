#pragma once
#include <stdexcept>
#include <string>

namespace dbserver {

// Every failure of the server or its data-access components; the message says what failed and where.
class DbError : public std::runtime_error {
  public:
    explicit DbError(const std::string& message) : std::runtime_error(message) {}
};

} // namespace dbserver
