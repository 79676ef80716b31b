// Reading: each worker reads its entries on a handle of its own, decrypts WinZip AES itself, inflates with
// ISA-L in tiles of about 1 MiB and checks every entry; files are staged and swapped in as a unit.
#include "archive/internal/Ordered.h"
#include "archive/internal/WinZipAes.h"
#include "archive/internal/ZipEngine.h"
#include "archive/internal/ZipFile.h"
#include "fsutil/FileSetSwap.h"
#include "fsutil/Paths.h"
#include "fsutil/Utf.h"

#include <isa-l/igzip_lib.h>
#include <libdeflate.h>

#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <thread>

namespace archive::engine {
namespace {

// An entry left off because another one failed first; never reported.
constexpr std::int32_t kStopped = -1;

struct FileCloser {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};

// Where an entry lands inside the folder, as a relative path; empty when its name cannot be placed there
// safely.
std::optional<std::string> placeEntry(std::string name, bool preservePaths) {
    std::replace(name.begin(), name.end(), '\\', '/');
    std::vector<std::string> parts;
    for (size_t start = 0; start <= name.size();) {
        const size_t end = std::min(name.find('/', start), name.size());
        std::string part = name.substr(start, end - start);
        start = end + 1;
        if (parts.empty() && part.size() >= 2 && part[1] == ':') part = part.substr(2); // a drive
        if (part.empty() || part == ".") continue;
        parts.push_back(part);
    }
    if (parts.empty()) return std::nullopt;
    if (!preservePaths) parts.erase(parts.begin(), parts.end() - 1);
    std::string path;
    for (const auto& part : parts) {
        if (part == ".." || part.find('\0') != std::string::npos) return std::nullopt;
        path += (path.empty() ? "" : "/") + part;
    }
    return path;
}

struct Planned {
    zip_uint64_t index = 0;
    std::string name;
    zip_stat_t st{};
    std::optional<fs::path> staged; // where the extracted file is written until every entry has passed
    std::atomic<std::uint64_t> processed = 0;
    std::int32_t outcome = result::Success;
};

// Reads the entries in worker threads, each on its own handle of the archive so that decryption runs in
// parallel too; the calling thread raises the status events in entry order.
class Reader {
  public:
    Reader(const fs::path& zipPath, zip_t* za, const ReadOptions& options)
        : zipPath_(zipPath), za_(za), options_(options) {}

    std::int32_t run() {
        if (options_.targetFolder) {
            // The last extraction into this folder may have been killed halfway.
            try {
                fsutil::FileSetSwap::recover(*options_.targetFolder);
                fsutil::removeStaleFiles(*options_.targetFolder, [](std::string_view name) {
                    return fsutil::wildcardMatch("TEMP_*.part", name); // part files of older versions
                });
                swap_.emplace(*options_.targetFolder);
            } catch (const std::system_error& error) {
                return writeFailure(error.code().value());
            }
        }
        if (const std::int32_t planned = plan(); planned != result::Success) return planned;
        {
            const unsigned workers = static_cast<unsigned>(
                std::min<size_t>(workerCount(options_.limits), std::max<size_t>(entries_.size(), 1)));
            OrderedWork<std::int32_t> work(
                entries_.size(), workers, {2 * size_t{workers} + 2, UINT64_MAX},
                [this](size_t i) { return readOne(*entries_[i]); }, [](size_t) { return 1; });
            report(work);
        }
        for (const auto& entry : entries_)
            if (entry->outcome != result::Success && entry->outcome != kStopped) return entry->outcome;
        if (cancelled(options_.abort)) return result::Cancelled;
        if (!swap_) return result::Success;
        // All or nothing: no existing file is replaced unless every entry was read back whole.
        try {
            swap_->commit();
        } catch (const std::system_error& error) {
            return writeFailure(error.code().value());
        }
        return result::Success;
    }

  private:
    // Every entry's place is settled before anything is written: an unsafe name, a link or two entries
    // for one file refuse the whole extraction.
    std::int32_t plan() {
        const zip_int64_t count = zip_get_num_entries(za_, 0);
        std::set<std::string> targets;
        bool unsafe = false, duplicate = false;
        for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count); ++i) {
            auto entry = std::make_unique<Planned>();
            entry->index = i;
            if (zip_stat_index(za_, i, 0, &entry->st) != 0) return result::DamagedArchive;
            entry->name = entry->st.name ? entry->st.name : "";
            if (!entry->name.empty() && entry->name.back() == '/') continue; // a folder
            // Checked here, as libzip's own refusal of such an entry leaks what it had set up.
            if (!zip_compression_method_supported(entry->st.comp_method, 0) ||
                (entry->st.encryption_method != ZIP_EM_NONE &&
                 !zip_encryption_method_supported(entry->st.encryption_method, 0)))
                return result::UnsupportedEntry;
            zip_uint8_t system = 0;
            zip_uint32_t attributes = 0;
            zip_file_get_external_attributes(za_, i, 0, &system, &attributes);
            if (swap_) {
                const auto relative = placeEntry(entry->name, options_.preservePaths);
                if (!relative || (system == ZIP_OPSYS_UNIX && ((attributes >> 16) & S_IFMT) == S_IFLNK)) {
                    unsafe = true;
                    continue;
                }
                // Names that differ in case only are one file where the program's name rules apply.
                if (!targets.insert(fsutil::toUpper(*relative)).second) duplicate = true;
                if (skipped(*options_.targetFolder / *relative, entry->st)) continue;
                entry->staged = swap_->stage(*relative);
            }
            entries_.push_back(std::move(entry));
        }
        if (unsafe) return result::UnsafeEntryName;
        if (duplicate) return result::DuplicateName;
        return result::Success;
    }

    bool skipped(const fs::path& target, const zip_stat_t& st) const {
        std::error_code ec;
        const bool exists = fs::exists(target, ec);
        if (options_.skipIfExisting && exists) return true;
        if (options_.skipIfNotExisting && !exists) return true;
        if (options_.skipIfOlderDate && exists) {
            struct stat info {};
            if (::stat(target.c_str(), &info) == 0 && st.mtime < info.st_mtime) return true;
        }
        return false;
    }

    void status(const Planned& entry, std::uint64_t processed, bool completed) {
        if (options_.status)
            options_.status(entry.name, entry.st.size, entry.st.comp_size, processed, completed);
    }

    void progress() {
        if (!options_.progress) return;
        std::uint64_t done = 0, total = 0;
        for (const auto& entry : entries_) {
            done += std::min(entry->processed.load(), entry->st.size);
            total += entry->st.size;
        }
        options_.progress(done, total);
    }

    // The calling thread's part: each entry's events in order, while the workers read ahead.
    void report(OrderedWork<std::int32_t>& work) {
        for (size_t i = 0; i < entries_.size(); ++i) {
            Planned& entry = *entries_[i];
            status(entry, 0, false);
            std::uint64_t reported = 0;
            entry.outcome = work.take(i, [&] {
                const std::uint64_t processed = std::min(entry.processed.load(), entry.st.size);
                if (processed > reported && processed < entry.st.size &&
                    progressDue(reported, processed, entry.st.size)) {
                    status(entry, processed, false);
                    reported = processed;
                }
                progress();
            });
            if (entry.outcome != result::Success) {
                failed_ = true;
                if (entry.outcome == kStopped) continue; // the failing entry comes later
                return;
            }
            status(entry, entry.st.size, true);
            progress();
        }
    }

    // A worker's part: one entry, on the worker's own handle of the archive, so that decryption and
    // inflation run in parallel.
    std::int32_t readOne(Planned& entry) {
        struct Worker {
            std::int32_t openCode = result::Success;
            OpenZip za;
            Scratch scratch;
        };
        thread_local std::optional<Worker> worker; // one per worker thread, which lives as long as the work
        if (!worker) {
            worker.emplace(
                Worker{result::Success,
                       {},
                       Scratch(static_cast<size_t>(std::max<std::uint64_t>(options_.limits.tileSize, 64)))});
            worker->za = OpenZip::open(zipPath_, ZIP_RDONLY, worker->openCode);
            if (worker->za && !options_.password.empty())
                zip_set_default_password(worker->za.get(), options_.password.c_str());
        }
        if (failed_) return kStopped;
        if (!worker->za) return worker->openCode;
        if (cancelled(options_.abort)) return result::Cancelled;
        std::int32_t outcome = readEntry(worker->za.get(), entry, worker->scratch);
        if (outcome != result::Success && outcome != kStopped && worker->za.ioError() != 0)
            outcome = deviceFailure(worker->za.ioError()); // the disk failed, not the archive
        if (outcome != result::Success && outcome != kStopped) failed_ = true;
        return outcome;
    }

    // What a worker keeps from entry to entry: buffers and the inflater's state.
    struct Scratch {
        explicit Scratch(size_t tileSize) : tile(tileSize), raw(tileSize), plain(tileSize) {}
        size_t tile;
        Buffer raw, plain;
        std::unique_ptr<inflate_state> inflater = std::make_unique<inflate_state>();
    };

    // A failure inside a worker becomes the entry's result; it must never end the program.
    std::int32_t readEntry(zip_t* za, Planned& entry, Scratch& scratch) {
        try {
            return readStreamed(za, entry, scratch);
        } catch (const std::bad_alloc&) {
            return result::OutOfMemory;
        } catch (...) {
            return result::DamagedArchive;
        }
    }

    // The WinZip AES version of an entry (1 or 2), 0 for another kind of entry.
    static int aesVersion(zip_t* za, const Planned& entry) {
        const zip_uint16_t method = entry.st.encryption_method;
        if (method != ZIP_EM_AES_128 && method != ZIP_EM_AES_192 && method != ZIP_EM_AES_256) return 0;
        zip_uint16_t length = 0;
        const zip_uint8_t* field =
            zip_file_extra_field_get_by_id(za, entry.index, 0x9901, 0, &length, ZIP_FL_CENTRAL);
        if (!field) field = zip_file_extra_field_get_by_id(za, entry.index, 0x9901, 0, &length, ZIP_FL_LOCAL);
        return field && length >= 2 && field[0] == 1 && field[1] == 0 ? 1 : 2;
    }

    // Every entry streams in tiles of about 1 MiB: raw bytes from libzip, decrypted here when WinZip AES,
    // inflated by ISA-L when deflated, checked, and written out.
    std::int32_t readStreamed(zip_t* za, Planned& entry, Scratch& scratch) {
        const zip_stat_t& st = entry.st;
        const int version = aesVersion(za, entry);
        const bool deflated = st.comp_method == ZIP_CM_DEFLATE;
        // Traditional encryption is libzip's to undo; other methods libzip also inflates and checks itself.
        const bool ours =
            version != 0 || st.encryption_method == ZIP_EM_NONE || st.encryption_method == ZIP_EM_TRAD_PKWARE;
        const zip_flags_t flags = version                                                  ? ZIP_FL_ENCRYPTED
                                  : (ours && (deflated || st.comp_method == ZIP_CM_STORE)) ? ZIP_FL_COMPRESSED
                                                                                           : 0;
        const bool raw = flags != 0; // we see the stored bytes, and check them ourselves
        std::unique_ptr<zip_file_t, FileCloser> file(zip_fopen_index(za, entry.index, flags));
        if (!file) return codeForZipError(zip_get_error(za), result::DamagedArchive);
        const auto readSome = [&](std::uint8_t* into, size_t size) -> std::int64_t {
            const zip_int64_t n = zip_fread(file.get(), into, size);
            return n < 0 ? -1 : n;
        };
        std::uint64_t body = version ? st.comp_size : UINT64_MAX; // the bytes to read, past the AES header
        std::optional<aes::EntryCipher> cipher;
        if (version) {
            const int strength = st.encryption_method == ZIP_EM_AES_128   ? 1
                                 : st.encryption_method == ZIP_EM_AES_192 ? 2
                                                                          : 3;
            if (options_.password.empty()) return result::PasswordRequired;
            const size_t header = aes::saltSize(strength) + aes::kVerifierSize;
            if (st.comp_size < aes::overhead(strength)) return result::DamagedArchive;
            std::uint8_t bytes[32];
            if (readSome(bytes, header) != static_cast<std::int64_t>(header))
                return codeForZipError(zip_file_get_error(file.get()), result::DamagedArchive);
            cipher = aes::EntryCipher::forReading(options_.password, strength, bytes);
            if (!cipher) return result::WrongPassword;
            body = st.comp_size - aes::overhead(strength);
        }

        std::optional<PartFile> out;
        if (entry.staged) {
            out.emplace(*entry.staged);
            if (!out->ok()) return result::CannotWriteFile;
        }
        std::uint32_t crc = 0;
        std::uint64_t produced = 0;
        const auto emit = [&](const std::uint8_t* data, size_t size) -> std::int32_t {
            if (raw) crc = static_cast<std::uint32_t>(libdeflate_crc32(crc, data, size));
            produced += size;
            entry.processed = std::min<std::uint64_t>(produced, st.size);
            return out ? out->write(data, size) : result::Success;
        };
        inflate_state& inflater = *scratch.inflater;
        const bool inflating = raw && deflated;
        if (inflating) {
            isal_inflate_init(&inflater);
            inflater.crc_flag = ISAL_DEFLATE;
        }
        bool finished = !inflating;
        for (std::uint64_t consumed = 0; consumed < body;) {
            if (cancelled(options_.abort)) return result::Cancelled;
            if (failed_) return kStopped;
            const std::int64_t n =
                readSome(scratch.raw.data(),
                         static_cast<size_t>(std::min<std::uint64_t>(scratch.tile, body - consumed)));
            if (n < 0) return codeForZipError(zip_file_get_error(file.get()), result::DamagedArchive);
            if (n == 0) {
                if (version) return result::DamagedArchive; // shorter than its header says
                break;
            }
            consumed += static_cast<std::uint64_t>(n);
            if (cipher) cipher->decrypt(scratch.raw.data(), static_cast<size_t>(n));
            if (!inflating) {
                if (const std::int32_t written = emit(scratch.raw.data(), static_cast<size_t>(n));
                    written != result::Success)
                    return written;
                continue;
            }
            inflater.next_in = scratch.raw.data();
            inflater.avail_in = static_cast<std::uint32_t>(n);
            do {
                inflater.next_out = scratch.plain.data();
                inflater.avail_out = static_cast<std::uint32_t>(scratch.tile);
                if (isal_inflate(&inflater) < 0) return result::DamagedArchive;
                const size_t made = scratch.tile - inflater.avail_out;
                if (produced + made > st.size) return result::DamagedArchive;
                if (const std::int32_t written = emit(scratch.plain.data(), made); written != result::Success)
                    return written;
                finished = inflater.block_state == ISAL_BLOCK_FINISH;
            } while (!finished && (inflater.avail_in > 0 || inflater.avail_out == 0));
            if (finished && inflater.avail_in > 0)
                return result::DamagedArchive; // bytes after the stream's end
        }
        if (!finished || produced != st.size) return result::DamagedArchive;
        if (cipher) {
            std::uint8_t code[aes::kCodeSize];
            if (readSome(code, sizeof code) != static_cast<std::int64_t>(sizeof code) ||
                !cipher->codeMatches(code))
                return result::DamagedArchive;
        }
        // AE-2 entries are checked by their code alone; the others by their CRC as well.
        if (raw && version != 2 && crc != st.crc) return result::DamagedArchive;
        return out ? out->finish(st.mtime) : result::Success;
    }

    const fs::path zipPath_;
    zip_t* za_;
    const ReadOptions& options_;
    std::vector<std::unique_ptr<Planned>> entries_;
    std::atomic<bool> failed_ = false;
    std::optional<fsutil::FileSetSwap> swap_;
};

// Opened with libzip's consistency check; a zip that fails only that (bsdtar writes local headers it
// finds inconsistent) is opened without it, as every entry is checked by its CRC or code anyway.
OpenZip openChecked(const fs::path& zipPath, std::int32_t& code) {
    OpenZip za = OpenZip::open(zipPath, ZIP_RDONLY | ZIP_CHECKCONS, code);
    if (!za && code == result::DamagedArchive) za = OpenZip::open(zipPath, ZIP_RDONLY, code);
    return za;
}

} // namespace

std::int32_t readZip(const fs::path& zipPath, const ReadOptions& options) {
    std::int32_t code = result::Success;
    OpenZip za = openChecked(zipPath, code);
    if (!za) return code;
    if (options.targetFolder) {
        std::error_code ec;
        fs::create_directories(*options.targetFolder, ec);
        if (ec || !fs::is_directory(*options.targetFolder)) return result::CannotWriteFile;
    }
    return Reader(zipPath, za.get(), options).run();
}

std::int32_t listZip(const fs::path& zipPath, std::vector<ZipEntryInfo>& entries) {
    std::int32_t code = result::Success;
    OpenZip za = openChecked(zipPath, code);
    if (!za) return code;
    const zip_int64_t count = zip_get_num_entries(za.get(), 0);
    for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count); ++i) {
        zip_stat_t st;
        if (zip_stat_index(za.get(), i, 0, &st) != 0) return result::DamagedArchive;
        ZipEntryInfo info;
        info.name = fsutil::toUtf16(st.name ? st.name : "");
        info.size = st.size;
        info.compressedSize = st.comp_size;
        info.encrypted = st.encryption_method != ZIP_EM_NONE;
        info.method = st.encryption_method == ZIP_EM_NONE          ? u"none"
                      : st.encryption_method == ZIP_EM_TRAD_PKWARE ? u"ZipCrypto"
                      : st.encryption_method == ZIP_EM_AES_256     ? u"AES-256"
                                                                   : u"AES";
        entries.push_back(std::move(info));
    }
    return result::Success;
}

} // namespace archive::engine
