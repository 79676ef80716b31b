#include "dbserver/DbComponents.h"

#include "dbserver/internal/Engine.h"
#include "dbserver/internal/Sqlite.h"
#include "fsutil/Paths.h"

#include <sstream>

namespace dbserver {

std::string TStringList::Text() const {
    std::string text;
    for (const auto& line : lines_)
        text += line + "\n";
    return text;
}

TDbConnection::TDbConnection(std::string name) : Name(std::move(name)) {}
TDbConnection::~TDbConnection() = default;

void TDbConnection::setConnectPath(std::string path) {
    if (IsConnected())
        throw DbError("The TDbConnection.ConnectPath may not be changed when IsConnected is TRUE");
    connectPath_ = std::move(path);
}

bool TDbConnection::IsDictionaryConnection() const {
    return engine::isDictionaryPath(connectPath_);
}

void TDbConnection::setIsConnected(bool connected) {
    if (!connected) {
        session_.reset();
        return;
    }
    if (session_) return;
    const bool dictionary = IsDictionaryConnection();
    session_ = engine::connect(connectPath_, (ServerTypes & stLOCAL) != 0,
                               dictionary ? Username : std::string(), dictionary ? Password : std::string());
}

engine::Session& TDbConnection::Session() {
    setIsConnected(true);
    return *session_;
}

TDbQuery::TDbQuery(std::string name) : Name(std::move(name)) {}

void TDbQuery::ExecSQL() {
    if (!Connection) throw DbError(Name + ": no connection is assigned");
    engine::Session& session = Connection->Session();
    try {
        engine::execute(session, SQL.Text());
    } catch (const DbError& error) {
        throw DbError(Name + ": ", error);
    }
}

struct TDbTable::Cursor {
    std::unique_ptr<sqlite::Database> db;
    std::unique_ptr<sqlite::Statement> rows;
    bool eof = false;
};

TDbTable::TDbTable(std::string name) : Name(std::move(name)) {}
TDbTable::~TDbTable() = default;

void TDbTable::fail(const std::string& message) const {
    throw DbError(Name + ": " + message);
}

namespace {
std::vector<std::string> splitFields(const std::string& names) {
    std::vector<std::string> fields;
    std::stringstream stream(names);
    for (std::string field; std::getline(stream, field, ';');)
        if (!field.empty()) fields.push_back(field);
    return fields;
}

// True when the table has an index on exactly these fields, in this order.
bool hasIndexOn(sqlite::Database& db, const std::string& table, const std::vector<std::string>& fields) {
    auto indexes = db.prepare("SELECT name FROM pragma_index_list(?1)");
    indexes.bind(1, table);
    while (indexes.step()) {
        auto columns = db.prepare("SELECT name FROM pragma_index_info(?1) ORDER BY seqno");
        columns.bind(1, indexes.text(0));
        size_t i = 0;
        bool same = true;
        while (columns.step())
            same = same && i < fields.size() && fsutil::equalsIgnoringCase(columns.text(0), fields[i++]);
        if (same && i == fields.size()) return true;
    }
    return false;
}
bool hasFields(sqlite::Database& db, const std::string& table, const std::vector<std::string>& fields) {
    for (const auto& field : fields) {
        auto column = db.prepare("SELECT 1 FROM pragma_table_info(?1) WHERE name = ?2 COLLATE NOCASE");
        column.bind(1, table).bind(2, field);
        if (!column.step()) return false;
    }
    return true;
}
} // namespace

void TDbTable::Open() {
    if (cursor_) return;
    if (!Connection) fail("no connection is assigned");
    try {
        engine::Session& session = Connection->Session();
        auto cursor = std::make_unique<Cursor>();
        cursor->db = std::make_unique<sqlite::Database>(session.tableFile(TableName),
                                                        sqlite::Database::Mode::ReadOnly);
        if (!cursor->db->hasTable(TableName))
            throw DbError("the file of table " + TableName + " holds no such table");
        std::string order;
        const auto fields = splitFields(IndexFieldNames);
        // A table that lacks the index's fields has no order to keep; reading those fields then fails by
        // name.
        if (!fields.empty() && hasFields(*cursor->db, TableName, fields)) {
            if (!hasIndexOn(*cursor->db, TableName, fields))
                throw DbError("table " + TableName + " has no index on " + IndexFieldNames);
            for (const auto& field : fields)
                order += (order.empty() ? " ORDER BY " : ", ") + sqlite::quoteIdentifier(field);
        }
        cursor->rows = std::make_unique<sqlite::Statement>(
            *cursor->db, "SELECT * FROM " + sqlite::quoteIdentifier(TableName) + order);
        cursor->eof = !cursor->rows->step();
        cursor_ = std::move(cursor);
    } catch (const DbError& error) {
        throw DbError(Name + ": ", error); // the component's name, once
    }
}

void TDbTable::Close() {
    cursor_.reset();
}

bool TDbTable::Eof() const {
    return !cursor_ || cursor_->eof;
}

void TDbTable::Next() {
    if (!cursor_) fail("table " + TableName + " is not open");
    if (cursor_->eof) return;
    try {
        cursor_->eof = !cursor_->rows->step();
    } catch (const DbError& error) {
        throw DbError(Name + ": ", error);
    }
}

TDbField TDbTable::FieldByName(std::string_view fieldName) const {
    if (!cursor_) fail("table " + TableName + " is not open");
    const auto& rows = *cursor_->rows;
    for (int column = 0; column < rows.columnCount(); ++column) {
        if (!fsutil::equalsIgnoringCase(rows.columnName(column), fieldName)) continue;
        if (cursor_->eof) fail("table " + TableName + " has no current row");
        std::string value = rows.isNull(column) ? std::string() : rows.text(column);
        value.erase(value.find_last_not_of(' ') + 1);
        return {rows.columnName(column), value};
    }
    fail("Field '" + std::string(fieldName) + "' not found in table " + TableName);
}

} // namespace dbserver
