#include "dbserver/internal/Sqlite.h"

#include "dbserver/DbError.h"

namespace dbserver::sqlite {

Database::Database(const std::filesystem::path& file, Mode mode) : file_(file) {
    int flags = SQLITE_OPEN_NOMUTEX;
    switch (mode) {
    case Mode::ReadOnly:
        flags |= SQLITE_OPEN_READONLY;
        break;
    case Mode::ReadWrite:
        flags |= SQLITE_OPEN_READWRITE;
        break;
    case Mode::Create:
        flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
        break;
    }
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(file.c_str(), &raw, flags, nullptr);
    db_.reset(raw);
    if (rc != SQLITE_OK) fail("cannot open");
    sqlite3_busy_timeout(raw, 10000);
    sqlite3_extended_result_codes(raw, 1);
}

void Database::fail(std::string_view what) const {
    const char* message = db_ ? sqlite3_errmsg(db_.get()) : "out of memory";
    DbErrorKind kind = DbErrorKind::Other;
    const int code = db_ ? sqlite3_extended_errcode(db_.get()) : SQLITE_NOMEM;
    switch (code & 0xff) { // the primary code
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        kind = DbErrorKind::Damaged;
        break;
    case SQLITE_IOERR:
    case SQLITE_FULL:
        kind = DbErrorKind::Io;
        break;
    case SQLITE_CANTOPEN:
        kind = DbErrorKind::NotFound;
        break;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        kind = DbErrorKind::Busy;
        break;
    default:
        break;
    }
    throw DbError(std::string(what) + " " + file_.string() + ": " + message, kind, code);
}

void Database::exec(std::string_view sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_.get(), std::string(sql).c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        std::string message = error ? error : sqlite3_errmsg(db_.get());
        sqlite3_free(error);
        throw DbError("error in " + file_.string() + ": " + message);
    }
}

Statement Database::prepare(std::string_view sql) {
    return Statement(*this, sql);
}

std::string Database::integrityCheck() {
    Statement check(*this, "PRAGMA integrity_check");
    std::string result;
    while (check.step()) {
        if (!result.empty()) result += "; ";
        result += check.text(0);
    }
    return result;
}

bool Database::hasTable(std::string_view name) {
    Statement query(*this, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1 COLLATE NOCASE");
    query.bind(1, name);
    return query.step();
}

Statement::Statement(Database& db, std::string_view sql) : db_(&db) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db.handle(), sql.data(), static_cast<int>(sql.size()), &raw, nullptr) != SQLITE_OK)
        db.fail("cannot read");
    stmt_.reset(raw);
}

Statement& Statement::bound(int rc) {
    if (rc != SQLITE_OK) db_->fail("cannot bind a value for");
    return *this;
}
Statement& Statement::bind(int index, std::string_view text) {
    return bound(
        sqlite3_bind_text(stmt_.get(), index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
}
Statement& Statement::bindBlob(int index, const void* data, int size) {
    return bound(sqlite3_bind_blob(stmt_.get(), index, data, size, SQLITE_TRANSIENT));
}
Statement& Statement::bindInt(int index, long long value) {
    return bound(sqlite3_bind_int64(stmt_.get(), index, value));
}
Statement& Statement::bindNull(int index) {
    return bound(sqlite3_bind_null(stmt_.get(), index));
}

bool Statement::step() {
    const int rc = sqlite3_step(stmt_.get());
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    db_->fail("cannot read");
}

void Statement::reset() {
    sqlite3_reset(stmt_.get());
    sqlite3_clear_bindings(stmt_.get());
}

int Statement::columnCount() const {
    return sqlite3_column_count(stmt_.get());
}
std::string Statement::columnName(int column) const {
    return sqlite3_column_name(stmt_.get(), column);
}
bool Statement::isNull(int column) const {
    return sqlite3_column_type(stmt_.get(), column) == SQLITE_NULL;
}
std::string Statement::text(int column) const {
    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(stmt_.get(), column));
    return data ? std::string(data, static_cast<size_t>(sqlite3_column_bytes(stmt_.get(), column)))
                : std::string();
}
long long Statement::integer(int column) const {
    return sqlite3_column_int64(stmt_.get(), column);
}
std::string Statement::blob(int column) const {
    const auto* data = static_cast<const char*>(sqlite3_column_blob(stmt_.get(), column));
    return data ? std::string(data, static_cast<size_t>(sqlite3_column_bytes(stmt_.get(), column)))
                : std::string();
}

std::string quoteIdentifier(std::string_view name) {
    std::string quoted = "\"";
    for (char c : name) {
        quoted += c;
        if (c == '"') quoted += '"';
    }
    return quoted + "\"";
}

} // namespace dbserver::sqlite
