#include "dbserver/internal/Manifest.h"

#include "dbserver/DbError.h"
#include "fsutil/Io.h"
#include "fsutil/Paths.h"

#include <xxhash.h>

#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

namespace dbserver::manifest {

namespace fs = std::filesystem;

constexpr const char* kHeader = "backup image manifest 1";

std::string fileName(const std::string& dictionaryName) {
    return dictionaryName + ".manifest";
}

std::string text(const Manifest& manifest) {
    std::string out =
        std::string(kHeader) + "\ndictionary\t" + manifest.dictionary + "\ntime\t" + manifest.time + "\n";
    for (const auto& file : manifest.files)
        out += "file\t" + file.hash + "\t" + std::to_string(file.size) + "\t" + file.name + "\n";
    return out;
}

std::optional<Manifest> readBeside(const fs::path& dictionaryFile) {
    const fs::path path =
        fsutil::resolveNative(dictionaryFile.parent_path() / fileName(dictionaryFile.filename().string()));
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return std::nullopt;
    std::ifstream in(path);
    std::string line;
    const auto refuse = [&](const std::string& why) {
        return DbError("the manifest " + path.string() + " cannot be read: " + why);
    };
    if (!std::getline(in, line) || line != kHeader)
        throw refuse("it does not start with \"" + std::string(kHeader) + "\"");
    Manifest manifest;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::stringstream stream(line);
        for (std::string field; std::getline(stream, field, '\t');)
            fields.push_back(field);
        if (fields.size() == 2 && fields[0] == "dictionary") {
            manifest.dictionary = fields[1];
        } else if (fields.size() == 2 && fields[0] == "time") {
            manifest.time = fields[1];
        } else if (fields.size() == 4 && fields[0] == "file" && fields[1].size() == 32 &&
                   fields[2].find_first_not_of("0123456789") == std::string::npos && !fields[2].empty()) {
            manifest.files.push_back({fields[3], std::stoull(fields[2]), fields[1]});
        } else {
            throw refuse("the line \"" + line + "\" is not a manifest record");
        }
    }
    return manifest;
}

std::string utcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

struct Hasher::State {
    XXH3_state_t* xxh = XXH3_createState();
    ~State() { XXH3_freeState(xxh); }
};

Hasher::Hasher() : state_(std::make_unique<State>()) {
    if (!state_->xxh) throw std::bad_alloc();
    XXH3_128bits_reset(state_->xxh);
}
Hasher::~Hasher() = default;

void Hasher::update(const void* data, size_t size) {
    XXH3_128bits_update(state_->xxh, data, size);
}

std::string Hasher::hex() const {
    const XXH128_hash_t hash = XXH3_128bits_digest(state_->xxh);
    char text[33];
    std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(hash.high64),
                  static_cast<unsigned long long>(hash.low64));
    return text;
}

std::string hashFile(const fs::path& file) {
    const fsutil::Fd fd = fsutil::io::openForReading(file);
    if (!fd) throw DbError("cannot read " + file.string() + ": " + std::strerror(errno));
    Hasher hasher;
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t n = fsutil::io::read(fd.get(), buffer.data(), buffer.size());
        if (n < 0) throw DbError("cannot read " + file.string() + ": " + std::strerror(static_cast<int>(-n)));
        if (n == 0) break;
        hasher.update(buffer.data(), static_cast<size_t>(n));
    }
    return hasher.hex();
}

} // namespace dbserver::manifest
