#include "dbserver/DbAdmin.h"

#include "dbserver/internal/Dictionary.h"
#include "dbserver/internal/Engine.h"
#include "dbserver/internal/Procedures.h"
#include "dbserver/internal/Sqlite.h"
#include "fsutil/Paths.h"

#include <regex>

namespace dbserver::admin {
namespace {
namespace fs = std::filesystem;
using sqlite::quoteIdentifier;

// The padded width of each column declared CHAR(n), 0 for the others.
std::vector<size_t> charWidths(sqlite::Database& db, const std::string& table) {
    std::vector<size_t> widths;
    auto info = db.prepare("SELECT type FROM pragma_table_info(?1) ORDER BY cid");
    info.bind(1, table);
    static const std::regex charType(R"(\s*CHAR\s*\(\s*(\d+)\s*\)\s*)", std::regex::icase);
    while (info.step()) {
        std::smatch match;
        const std::string type = info.text(0);
        widths.push_back(std::regex_match(type, match, charType) ? std::stoul(match[1]) : 0);
    }
    return widths;
}

std::string joined(const std::vector<std::string>& parts, const std::string& separator) {
    std::string text;
    for (const auto& part : parts)
        text += (text.empty() ? "" : separator) + part;
    return text;
}
} // namespace

void createDictionary(const std::string& path, const std::string& adminPassword) {
    const fs::path file = fsutil::resolve(path);
    if (!file.parent_path().empty()) fs::create_directories(file.parent_path());
    dictionary::create(file, adminPassword);
}

void createTable(TDbConnection& connection, const std::string& table, const std::vector<FieldDef>& fields,
                 const std::vector<IndexDef>& indexes) {
    engine::Session& session = connection.Session();
    const std::string fileName = table + std::string(dictionary::kTableExtension);
    const fs::path file = fsutil::resolveNative(session.folder() / fileName);
    if (fs::exists(file)) throw DbError("The table file " + file.string() + " already exists");
    {
        sqlite::Database db(file, sqlite::Database::Mode::Create);
        std::vector<std::string> columns;
        for (const auto& field : fields)
            columns.push_back(quoteIdentifier(field.name) + " " + field.type);
        std::string sql = "CREATE TABLE " + quoteIdentifier(table) + "(" + joined(columns, ", ") + ");";
        for (const auto& index : indexes) {
            std::vector<std::string> quoted;
            for (const auto& field : index.fields)
                quoted.push_back(quoteIdentifier(field));
            sql += std::string(index.unique ? "CREATE UNIQUE INDEX " : "CREATE INDEX ") +
                   quoteIdentifier(index.name) + " ON " + quoteIdentifier(table) + "(" +
                   joined(quoted, ", ") + ");";
        }
        sqlite::Transaction transaction(db);
        db.exec(sql);
        transaction.commit();
    }
    if (session.kind == engine::Kind::Dictionary) {
        sqlite::Database db(session.location, sqlite::Database::Mode::ReadWrite);
        dictionary::addTable(db, table, fileName);
    }
}

void insertRows(TDbConnection& connection, const std::string& table, const std::vector<Row>& rows) {
    sqlite::Database db(connection.Session().tableFile(table), sqlite::Database::Mode::ReadWrite);
    const auto widths = charWidths(db, table);
    std::string placeholders;
    for (size_t i = 0; i < widths.size(); ++i)
        placeholders += (i ? ", ?" : "?") + std::to_string(i + 1);
    sqlite::Transaction transaction(db);
    auto insert = db.prepare("INSERT INTO " + quoteIdentifier(table) + " VALUES(" + placeholders + ")");
    for (const auto& row : rows) {
        if (row.size() != widths.size())
            throw DbError("A row for " + table + " has " + std::to_string(row.size()) +
                          " values, the table " + std::to_string(widths.size()) + " fields");
        insert.reset();
        for (size_t i = 0; i < row.size(); ++i) {
            const int index = static_cast<int>(i + 1);
            if (!row[i]) {
                insert.bindNull(index);
            } else {
                std::string value = *row[i];
                if (widths[i] > value.size()) value.resize(widths[i], ' ');
                insert.bind(index, value);
            }
        }
        insert.step();
    }
    transaction.commit();
}

std::string dump(TDbConnection& connection) {
    std::string text;
    for (const auto& table : connection.Session().tables()) {
        sqlite::Database db(table.file, sqlite::Database::Mode::ReadOnly);
        std::vector<std::string> columns, values;
        auto info = db.prepare("SELECT name FROM pragma_table_info(?1) ORDER BY cid");
        info.bind(1, table.name);
        while (info.step()) {
            columns.push_back(info.text(0));
            values.push_back("quote(" + quoteIdentifier(info.text(0)) + ")");
        }
        text += "TABLE " + table.name + "\n" + joined(columns, "|") + "\n";
        std::vector<std::string> order;
        for (const auto& column : columns)
            order.push_back(quoteIdentifier(column));
        auto rows = db.prepare("SELECT " + joined(values, " || '|' || ") + " FROM " +
                               quoteIdentifier(table.name) + " ORDER BY " + joined(order, ", "));
        while (rows.step())
            text += rows.text(0) + "\n";
    }
    return text;
}

void check(TDbConnection& connection) {
    engine::Session& session = connection.Session();
    if (session.kind == engine::Kind::Dictionary) {
        procedures::verifyDatabase(session.location);
        return;
    }
    for (const auto& table : session.tables()) {
        sqlite::Database db(table.file, sqlite::Database::Mode::ReadOnly);
        const std::string result = db.integrityCheck();
        if (result != "ok") throw DbError("the table file " + table.file.string() + " is damaged: " + result);
    }
}

void verifyImage(const std::string& dictionary) {
    procedures::verifyImage(fsutil::resolve(dictionary));
}

std::string preRestoreFolder(const std::string& dictionary) {
    const fs::path live = fsutil::resolve(dictionary);
    return (live.parent_path() / (live.filename().string() + ".pre-restore")).string();
}

void undoRestore(const std::string& dictionary, const std::string& user, const std::string& password) {
    const fs::path copy = fs::path(preRestoreFolder(dictionary)) / fsutil::resolve(dictionary).filename();
    if (!fs::is_regular_file(copy))
        throw DbError("undo-restore: " + dictionary + " has no pre-restore copy (" + copy.string() +
                          " does not exist)",
                      DbErrorKind::NotFound);
    TDbConnection connection("undo-restore");
    connection.setConnectPath(copy.string());
    connection.Username = user;
    connection.Password = password;
    procedures::restoreDatabase(connection.Session(), {copy.string(), password, dictionary, std::nullopt});
}

} // namespace dbserver::admin
