#pragma once
#include "dbserver/internal/Engine.h"

#include <optional>
#include <string>
#include <vector>

namespace dbserver::procedures {

using Arguments = std::vector<std::optional<std::string>>;

void backupDatabase(engine::Session& session, const Arguments& arguments);
void restoreDatabase(engine::Session& session, const Arguments& arguments);

} // namespace dbserver::procedures

namespace dbserver::procedures {

// The table files that a data dictionary lists, after checking that each is there and that the dictionary
// and every table pass SQLite's integrity check; throws DbError naming the first file that does not.
std::vector<engine::TableFile> verifyDatabase(const std::filesystem::path& dictionaryFile);

// Checks a backup image against its manifest: the same files, each of the listed size and hash; throws
// DbError naming the first file that differs, or when the image has no manifest.
void verifyImage(const std::filesystem::path& dictionaryFile);

} // namespace dbserver::procedures
