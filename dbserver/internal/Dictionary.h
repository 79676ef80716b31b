#pragma once
// The data dictionary file: the database's users and the table files that lie beside it.
#include "dbserver/internal/Sqlite.h"

#include <string>
#include <string_view>
#include <vector>

namespace dbserver::dictionary {

inline constexpr std::string_view kTableExtension = ".tbl";
inline constexpr std::string_view kAdminUser = "DBSYS";

void create(const std::filesystem::path& file, std::string_view adminPassword);
bool isDictionary(sqlite::Database& db);
bool checkLogin(sqlite::Database& db, std::string_view user, std::string_view password);

struct Entry {
    std::string name;
    std::string file; // file name beside the dictionary
};
std::vector<Entry> tables(sqlite::Database& db);
void addTable(sqlite::Database& db, std::string_view name, std::string_view fileName);

} // namespace dbserver::dictionary
