#pragma once
// The data-access components through which the program reaches the database server.
#include "dbserver/DbError.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace dbserver {

namespace engine {
class Session;
}

enum TServerType : unsigned { stREMOTE = 1, stLOCAL = 2 };
enum TCompressionType { ccCompressionNotSet };
enum TCommunicationType { ctDefault };

struct TTableOptions {
    bool RightsCheck = true;
};

// The lines of a statement.
class TStringList {
  public:
    void Clear() { lines_.clear(); }
    void Add(std::string line) { lines_.push_back(std::move(line)); }
    const std::vector<std::string>& Lines() const { return lines_; }
    std::string Text() const;

  private:
    std::vector<std::string> lines_;
};

class TDbConnection {
  public:
    explicit TDbConnection(std::string name = "");
    ~TDbConnection();
    TDbConnection(const TDbConnection&) = delete;
    TDbConnection& operator=(const TDbConnection&) = delete;

    std::string Name;
    unsigned ServerTypes = stREMOTE | stLOCAL;
    bool LoginPrompt = false;
    TCompressionType Compression = ccCompressionNotSet;
    TCommunicationType CommunicationType = ctDefault;
    std::string Username;
    std::string Password;

    const std::string& ConnectPath() const { return connectPath_; }
    void setConnectPath(std::string path);

    bool IsConnected() const { return session_ != nullptr; }
    void setIsConnected(bool connected);

    // ".ADD" anywhere in the upper-cased path makes a data dictionary connection.
    bool IsDictionaryConnection() const;

    // The open server session, opening the connection first when it is closed.
    engine::Session& Session();

  private:
    std::string connectPath_;
    std::unique_ptr<engine::Session> session_;
};

class TDbQuery {
  public:
    explicit TDbQuery(std::string name = "");

    std::string Name;
    TDbConnection* Connection = nullptr;
    std::string DatabaseName;
    TTableOptions TableOptions;
    bool StoreActive = true;
    TStringList SQL;

    // Runs the statement; a result set that comes back is closed unread.
    void ExecSQL();
};

struct TDbField {
    std::string Name;
    std::string AsString;
};

class TDbTable {
  public:
    explicit TDbTable(std::string name = "");
    ~TDbTable();
    TDbTable(const TDbTable&) = delete;
    TDbTable& operator=(const TDbTable&) = delete;

    std::string Name;
    TDbConnection* Connection = nullptr;
    std::string TableName;
    std::string IndexFieldNames; // fields of the index that orders the rows, separated by ';'
    TTableOptions TableOptions;

    void Open(); // stands on the first row
    void Close();
    bool Active() const { return cursor_ != nullptr; }
    bool Eof() const;
    void Next();
    // The current row's field, looked up without regard to case; its text without trailing blanks.
    TDbField FieldByName(std::string_view fieldName) const;

  private:
    struct Cursor;
    [[noreturn]] void fail(const std::string& message) const;
    std::unique_ptr<Cursor> cursor_;
};

} // namespace dbserver
