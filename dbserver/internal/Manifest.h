#pragma once
// The manifest a backup writes with its image: each file's name, size and XXH3-128 hash, so that a restore
// can tell a whole image from one that was changed or damaged since, without reading every page twice.
//
// Format, plain text, one record a line, fields separated by one tab:
//   backup image manifest 1
//   dictionary <file name of the data dictionary>
//   time <UTC time of the backup, YYYY-MM-DDTHH:MM:SSZ>
//   file <32 lower-case hex digits of XXH3-128> <size in bytes> <file name>     (once per file)
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dbserver::manifest {

struct File {
    std::string name;
    std::uint64_t size = 0;
    std::string hash; // 32 hex digits
};

struct Manifest {
    std::string dictionary;
    std::string time;
    std::vector<File> files;
};

// The manifest's file name beside the dictionary "<dictionary file name>.manifest".
std::string fileName(const std::string& dictionaryName);
std::string text(const Manifest& manifest);
// The manifest beside a dictionary, or nothing when there is none; throws DbError when it cannot be read.
std::optional<Manifest> readBeside(const std::filesystem::path& dictionaryFile);
std::string utcNow();

// XXH3-128 of bytes fed in pieces.
class Hasher {
  public:
    Hasher();
    ~Hasher();
    Hasher(const Hasher&) = delete;
    Hasher& operator=(const Hasher&) = delete;
    void update(const void* data, size_t size);
    std::string hex() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// The hash of a whole file; throws DbError when it cannot be read.
std::string hashFile(const std::filesystem::path& file);

} // namespace dbserver::manifest
