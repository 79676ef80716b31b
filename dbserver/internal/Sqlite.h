#pragma once
// Thin RAII wrappers over SQLite for the server's own use; never included by a public header.
#include "dbserver/DbError.h"

#include <sqlite3.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace dbserver::sqlite {

class Statement;

class Database {
  public:
    enum class Mode { ReadOnly, ReadWrite, Create };
    Database(const std::filesystem::path& file, Mode mode);

    void exec(std::string_view sql);
    Statement prepare(std::string_view sql);
    sqlite3* handle() const { return db_.get(); }
    const std::filesystem::path& file() const { return file_; }
    [[noreturn]] void fail(std::string_view what) const;

    // "ok" or the problems found.
    std::string integrityCheck();
    bool hasTable(std::string_view name);

  private:
    struct Closer {
        void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
    };
    std::filesystem::path file_;
    std::unique_ptr<sqlite3, Closer> db_;
};

class Statement {
  public:
    Statement(Database& db, std::string_view sql);

    Statement& bind(int index, std::string_view text);
    Statement& bindBlob(int index, const void* data, int size);
    Statement& bindInt(int index, long long value);
    Statement& bindNull(int index);
    bool step(); // true while a row is there
    void reset();

    int columnCount() const;
    std::string columnName(int column) const;
    bool isNull(int column) const;
    std::string text(int column) const;
    long long integer(int column) const;
    std::string blob(int column) const;

  private:
    Statement& bound(int rc); // throws when a bind failed
    struct Finalizer {
        void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
    };
    Database* db_;
    std::unique_ptr<sqlite3_stmt, Finalizer> stmt_;
};

// A transaction that is rolled back unless committed.
class Transaction {
  public:
    explicit Transaction(Database& db, std::string_view begin = "BEGIN") : db_(&db) { db.exec(begin); }
    ~Transaction() {
        if (db_) sqlite3_exec(db_->handle(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(Transaction&& other) noexcept : db_(std::exchange(other.db_, nullptr)) {}
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    Transaction& operator=(Transaction&&) = delete;
    void commit() {
        if (!db_) throw DbError("the transaction has already been committed");
        db_->exec("COMMIT");
        db_ = nullptr;
    }

  private:
    Database* db_;
};

std::string quoteIdentifier(std::string_view name);

} // namespace dbserver::sqlite
