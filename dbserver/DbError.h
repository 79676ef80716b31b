#pragma once
#include <stdexcept>
#include <string>

namespace dbserver {

// What kind of failure an error is, for callers that must tell them apart (a tool's exit status).
enum class DbErrorKind { Other, NotFound, Login, Damaged, Io, Busy };

// Every failure of the server or its data-access components; the message says what failed and where.
class DbError : public std::runtime_error {
  public:
    explicit DbError(const std::string& message, DbErrorKind kind = DbErrorKind::Other, int sqliteCode = 0)
        : std::runtime_error(message), kind_(kind), sqliteCode_(sqliteCode) {}
    // The same failure with more context before its message.
    DbError(const std::string& context, const DbError& cause)
        : std::runtime_error(context + cause.what()), kind_(cause.kind_), sqliteCode_(cause.sqliteCode_) {}
    DbErrorKind kind() const { return kind_; }
    // SQLite's extended result code, where SQLite reported the failure; 0 otherwise.
    int sqliteCode() const { return sqliteCode_; }

  private:
    DbErrorKind kind_;
    int sqliteCode_;
};

} // namespace dbserver
