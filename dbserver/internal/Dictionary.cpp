#include "dbserver/internal/Dictionary.h"

#include "dbserver/DbError.h"
#include "fsutil/Paths.h"
#include "fsutil/TempFile.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>

namespace dbserver::dictionary {
namespace {
constexpr int kIterations = 20000;
// A password record outside these bounds is refused: a hostile image could ask for hours of hashing.
constexpr long long kMinIterations = 1000;
constexpr long long kMaxIterations = 1000000;
constexpr size_t kSaltSize = 16;
constexpr size_t kHashSize = 32;

std::string hashPassword(std::string_view password, const std::string& salt, int iterations) {
    std::string hash(kHashSize, '\0');
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()),
                          iterations, EVP_sha256(), static_cast<int>(hash.size()),
                          reinterpret_cast<unsigned char*>(hash.data())) != 1)
        throw DbError("cannot hash the password");
    return hash;
}
} // namespace

void create(const std::filesystem::path& file, std::string_view adminPassword) {
    if (std::filesystem::exists(file)) throw DbError("data dictionary " + file.string() + " already exists");
    // Built under a temporary name, so a failure leaves no half-made dictionary behind.
    fsutil::TempFile temp(file.parent_path() / (std::string(fsutil::kTempPrefix) + file.filename().string()));
    std::filesystem::remove(temp.path());
    sqlite::Database db(temp.path(), sqlite::Database::Mode::Create);
    sqlite::Transaction transaction(db);
    db.exec(
        "CREATE TABLE dd_info(key TEXT PRIMARY KEY, value TEXT NOT NULL);"
        "INSERT INTO dd_info VALUES('format', 'data dictionary 1');"
        "CREATE TABLE dd_users(name TEXT PRIMARY KEY COLLATE NOCASE, salt BLOB NOT NULL, hash BLOB NOT NULL,"
        " iterations INTEGER NOT NULL);"
        "CREATE TABLE dd_tables(name TEXT PRIMARY KEY COLLATE NOCASE, file TEXT NOT NULL);");
    std::string salt(kSaltSize, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(salt.data()), static_cast<int>(salt.size())) != 1)
        throw DbError("cannot make a password salt");
    const std::string hash = hashPassword(adminPassword, salt, kIterations);
    db.prepare("INSERT INTO dd_users VALUES(?1, ?2, ?3, ?4)")
        .bind(1, kAdminUser)
        .bindBlob(2, salt.data(), static_cast<int>(salt.size()))
        .bindBlob(3, hash.data(), static_cast<int>(hash.size()))
        .bindInt(4, kIterations)
        .step();
    transaction.commit();
    temp.commitTo(file);
}

bool isDictionary(sqlite::Database& db) {
    try {
        return db.hasTable("dd_users") && db.hasTable("dd_tables");
    } catch (const DbError&) {
        return false; // not a SQLite file at all
    }
}

bool checkLogin(sqlite::Database& db, std::string_view user, std::string_view password) {
    auto query = db.prepare("SELECT salt, hash, iterations FROM dd_users WHERE name = ?1");
    query.bind(1, user);
    if (!query.step()) {
        hashPassword(password, std::string(kSaltSize, '\0'), kIterations); // same time for unknown users
        return false;
    }
    const long long iterations = query.integer(2);
    if (iterations < kMinIterations || iterations > kMaxIterations)
        throw DbError("the password record of user " + std::string(user) + " in " + db.file().string() +
                      " is not valid: " + std::to_string(iterations) + " hashing rounds, outside " +
                      std::to_string(kMinIterations) + " to " + std::to_string(kMaxIterations));
    const std::string stored = query.blob(1);
    const std::string computed = hashPassword(password, query.blob(0), static_cast<int>(iterations));
    return stored.size() == computed.size() &&
           CRYPTO_memcmp(stored.data(), computed.data(), stored.size()) == 0;
}

std::vector<Entry> tables(sqlite::Database& db) {
    std::vector<Entry> result;
    auto query = db.prepare("SELECT name, file FROM dd_tables ORDER BY name");
    while (query.step())
        result.push_back({query.text(0), query.text(1)});
    return result;
}

void addTable(sqlite::Database& db, std::string_view name, std::string_view fileName) {
    db.prepare("INSERT INTO dd_tables VALUES(?1, ?2)").bind(1, name).bind(2, fileName).step();
}

} // namespace dbserver::dictionary
