#pragma once
#include <stdexcept>
#include <string>

namespace dbserver {

// What kind of failure an error is, for callers that must tell them apart (a tool's exit status).
enum class DbErrorKind { Other, NotFound, Login, Damaged, Io, Busy };

// Every failure of the server or its data-access components; the message says what failed and where.
class DbError : public std::runtime_error {
  public:
    explicit DbError(const std::string& message, DbErrorKind kind = DbErrorKind::Other)
        : std::runtime_error(message), kind_(kind) {}
    DbErrorKind kind() const { return kind_; }

  private:
    DbErrorKind kind_;
};

} // namespace dbserver
