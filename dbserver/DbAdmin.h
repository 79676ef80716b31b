#pragma once
// Administration of the embedded server for operators, tests and demos: creating dictionaries and tables,
// loading rows, and reading a database back in a stable text form.
#include "dbserver/DbComponents.h"

#include <optional>
#include <string>
#include <vector>

namespace dbserver::admin {

struct FieldDef {
    std::string name;
    std::string type; // CHAR(n) (kept padded with blanks to n), INTEGER, DATE, BLOB, ...
};

struct IndexDef {
    std::string name;
    std::vector<std::string> fields;
    bool unique = false;
};

using Row = std::vector<std::optional<std::string>>; // nullopt for NULL

void createDictionary(const std::string& path, const std::string& adminPassword);
// A table of the connection's dictionary, or a free table in the connection's folder.
void createTable(TDbConnection& connection, const std::string& table, const std::vector<FieldDef>& fields,
                 const std::vector<IndexDef>& indexes);
void insertRows(TDbConnection& connection, const std::string& table, const std::vector<Row>& rows);

// Every table by name and its rows in key order, one line a row.
std::string dump(TDbConnection& connection);
// The integrity check that a restore makes of its image; throws DbError naming the first damaged file.
void check(TDbConnection& connection);

// Checks a backup image against the manifest its backup wrote; throws DbError naming the first file that
// differs.
void verifyImage(const std::string& dictionary);

// The folder beside a data dictionary where a restore keeps the database it replaced.
std::string preRestoreFolder(const std::string& dictionary);
// Puts the database that the last restore replaced back in place, with the checks and the all-or-nothing
// swap of a restore; the database it replaces becomes the pre-restore copy in turn. The password is the
// DBSYS password of the copy being put back.
void undoRestore(const std::string& dictionary, const std::string& user, const std::string& password);

} // namespace dbserver::admin
