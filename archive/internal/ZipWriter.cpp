// Writing: the workers read, deflate and encrypt each entry (a large file in chunks of about 1 MiB, deflated
// in parallel as one stream); libzip only lays out the container and copies the bytes as they are.
#include "archive/internal/Ordered.h"
#include "archive/internal/WinZipAes.h"
#include "archive/internal/ZipEngine.h"
#include "archive/internal/ZipFile.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace archive::engine {
namespace {

constexpr size_t kWindow = 32 << 10; // deflate's history: what each chunk is primed with
constexpr int kStrength = 3;         // AES-256

// A unit of work: a whole file, or one chunk of a large one.
struct Item {
    size_t file;
    std::uint64_t offset = 0;
    size_t length = 0;
    bool whole = true;
    bool last = true;
};

// One piece of an entry's data as it goes into the zip.
struct Piece {
    std::int32_t error = result::Success;
    Buffer bytes;            // a whole entry's final bytes (framed and encrypted), or a chunk's deflated ones
    std::uint32_t crc = 0;   // of the plain bytes
    std::uint64_t plain = 0; // plain bytes it stands for
    bool stored = false;     // a whole entry kept as it is: no compression, no encryption
};

// The compressors a worker keeps from item to item.
struct WorkerState {
    int level = -1;
    libdeflate_compressor* whole = nullptr;
    z_stream chunk{};
    bool chunkReady = false;

    ~WorkerState() {
        libdeflate_free_compressor(whole);
        if (chunkReady) deflateEnd(&chunk);
    }
    void setLevel(int wanted) {
        if (level == wanted) return;
        libdeflate_free_compressor(whole);
        whole = libdeflate_alloc_compressor(wanted);
        if (chunkReady) deflateEnd(&chunk);
        chunk = {};
        chunkReady = deflateInit2(&chunk, wanted, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
        if (!whole || !chunkReady) throw std::bad_alloc();
        level = wanted;
    }
};

class Writer;

// One entry's data as libzip reads it.
struct EntrySource {
    Writer* writer = nullptr;
    size_t index = 0;
    size_t firstItem = 0, itemCount = 0, nextItem = 0;
    std::optional<zip_stat_t> stat; // kept, as libzip asks again after the data has been read
    Piece piece;                    // the piece being handed out
    size_t pieceAt = 0;
    std::optional<aes::EntryCipher> cipher; // a chunked entry's, encrypting as the chunks pass
    std::string framing;                    // the header or the code, still to hand out
    std::uint32_t crc = 0;
    std::uint64_t delivered = 0, plainDone = 0;
    bool started = false, completed = false;
    zip_error_t error{};
};

class Writer {
  public:
    Writer(const std::vector<SourceFile>& files, const WriteOptions& options)
        : files_(files), options_(options) {
        for (size_t f = 0; f < files.size(); ++f) {
            total_ += files[f].size;
            firstItem_.push_back(items_.size());
            if (!chunked(files[f])) {
                items_.push_back({f});
                continue;
            }
            const std::uint64_t chunk = std::max<std::uint64_t>(options.limits.chunkSize, 1);
            for (std::uint64_t at = 0; at < files[f].size; at += chunk)
                items_.push_back({f, at,
                                  static_cast<size_t>(std::min<std::uint64_t>(chunk, files[f].size - at)),
                                  false, at + chunk >= files[f].size});
        }
        firstItem_.push_back(items_.size());
        const unsigned workers = workerCount(options.limits);
        work_.emplace(
            items_.size(), workers,
            OrderedWork<Piece>::Bounds{4 * workers + 4, options.limits.inFlightBudget},
            [this](size_t i) { return produce(i); },
            [this](size_t i) { return items_[i].whole ? files_[items_[i].file].size : items_[i].length; });
    }

    bool encrypted() const { return !options_.password.empty(); }
    bool chunked(const SourceFile& file) const { return file.size > options_.limits.wholeBufferLimit; }
    std::pair<size_t, size_t> itemsOf(size_t file) const {
        return {firstItem_[file], firstItem_[file + 1] - firstItem_[file]};
    }

    std::int32_t failure() const { return failure_; }

    static zip_int64_t callback(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command) {
        if (command == ZIP_SOURCE_FREE) return 0; // the writer owns the state
        auto& source = *static_cast<EntrySource*>(state);
        try {
            return source.writer->handle(source, data, length, command);
        } catch (const std::bad_alloc&) {
            return source.writer->refuse(source, ZIP_ER_MEMORY, result::OutOfMemory);
        } catch (...) {
            return source.writer->refuse(source, ZIP_ER_INTERNAL, result::CannotReadFile);
        }
    }

  private:
    void fail(std::int32_t code) {
        if (failure_ == result::Success) failure_ = code;
    }
    zip_int64_t refuse(EntrySource& source, int zipError, std::int32_t code) {
        fail(code);
        zip_error_set(&source.error, zipError, 0);
        return -1;
    }

    // ---- the workers' part

    Piece produce(size_t i) {
        thread_local WorkerState state;
        const Item& item = items_[i];
        Piece piece;
        if (cancelled(options_.abort)) return piece;
        state.setLevel(options_.level);
        return item.whole ? wholeEntry(files_[item.file], state) : chunk(item, state);
    }

    Piece wholeEntry(const SourceFile& file, WorkerState& state) {
        Piece out;
        Buffer input;
        if ((out.error = readWholeFile(file.path, input)) != result::Success) return out;
        out.plain = input.size;
        out.crc = static_cast<std::uint32_t>(libdeflate_crc32(0, input.data(), input.size));
        const size_t bound = libdeflate_deflate_compress_bound(state.whole, input.size);
        const size_t framing = encrypted() ? aes::overhead(kStrength) : 0;
        Buffer deflated(bound + framing);
        const size_t header = encrypted() ? aes::saltSize(kStrength) + aes::kVerifierSize : 0;
        deflated.size = libdeflate_deflate_compress(state.whole, input.data(), input.size,
                                                    deflated.data() + header, bound);
        // Without encryption, data that does not shrink is stored as it is.
        if (!encrypted() && (options_.level == 0 || deflated.size == 0 || deflated.size >= input.size)) {
            out.bytes = std::move(input);
            out.stored = true;
            return out;
        }
        if (deflated.size == 0) throw std::runtime_error("deflate failed");
        if (encrypted()) {
            auto cipher = aes::EntryCipher::forWriting(options_.password, kStrength);
            std::memcpy(deflated.data(), cipher.header(), header);
            cipher.encrypt(deflated.data() + header, deflated.size);
            const auto code = cipher.code();
            std::memcpy(deflated.data() + header + deflated.size, code.data(), code.size());
            deflated.size += framing;
        }
        out.bytes = std::move(deflated);
        return out;
    }

    // A chunk of one deflate stream: primed with the 32 KiB before it, ended on a byte boundary with a
    // sync flush, or finished when it is the last.
    Piece chunk(const Item& item, WorkerState& state) {
        Piece out;
        const SourceFile& file = files_[item.file];
        const size_t history = static_cast<size_t>(std::min<std::uint64_t>(item.offset, kWindow));
        Buffer input;
        {
            const Fd fd = fsutil::io::openForReading(file.path);
            if (!fd) return out.error = result::CannotReadFile, std::move(out);
            if ((out.error = readRange(fd.get(), item.offset - history, history + item.length, input)) !=
                result::Success)
                return out;
            if (input.size != history + item.length)
                return out.error = result::CannotReadFile, std::move(out);
        }
        const std::uint8_t* plain = input.data() + history;
        out.plain = item.length;
        out.crc = static_cast<std::uint32_t>(libdeflate_crc32(0, plain, item.length));
        z_stream& z = state.chunk;
        if (deflateReset(&z) != Z_OK) throw std::runtime_error("deflate failed");
        if (history > 0 && deflateSetDictionary(&z, input.data(), static_cast<uInt>(history)) != Z_OK)
            throw std::runtime_error("deflate failed");
        out.bytes = Buffer(deflateBound(&z, item.length) + 16);
        z.next_in = const_cast<std::uint8_t*>(plain);
        z.avail_in = static_cast<uInt>(item.length);
        z.next_out = out.bytes.data();
        z.avail_out = static_cast<uInt>(out.bytes.capacity());
        const int rc = deflate(&z, item.last ? Z_FINISH : Z_SYNC_FLUSH);
        if (rc == Z_STREAM_ERROR || z.avail_in != 0 || (item.last && rc != Z_STREAM_END))
            throw std::runtime_error("deflate failed");
        out.bytes.size = out.bytes.capacity() - z.avail_out;
        return out;
    }

    // ---- libzip's part, on the calling thread

    void progress(std::uint64_t done) {
        if (options_.progress) options_.progress(done, total_);
    }

    void status(EntrySource& source, std::uint64_t processed, bool completed) {
        const SourceFile& file = files_[source.index];
        const std::uint64_t compressed =
            source.stat && (source.stat->valid & ZIP_STAT_COMP_SIZE) ? source.stat->comp_size : 0;
        if (options_.status) options_.status(file.entryName, file.size, compressed, processed, completed);
    }

    // The next piece of the entry, waited for; false once all were handed out.
    bool nextPiece(EntrySource& source) {
        if (source.nextItem >= source.firstItem + source.itemCount) return false;
        source.piece = work_->take(source.nextItem++, [this] { progress(finished_); });
        source.pieceAt = 0;
        if (source.piece.error != result::Success) throw source.piece.error;
        return true;
    }

    zip_int64_t handle(EntrySource& source, void* data, zip_uint64_t length, zip_source_cmd_t command) {
        const SourceFile& file = files_[source.index];
        switch (command) {
        case ZIP_SOURCE_SUPPORTS:
            return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                                  ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
        case ZIP_SOURCE_STAT: {
            auto* st = static_cast<zip_stat_t*>(data);
            if (!source.stat) {
                zip_stat_t fresh;
                zip_stat_init(&fresh);
                fresh.valid =
                    ZIP_STAT_SIZE | ZIP_STAT_MTIME | ZIP_STAT_ENCRYPTION_METHOD | ZIP_STAT_COMP_METHOD;
                fresh.mtime = file.mtime;
                fresh.size = file.size;
                fresh.encryption_method = encrypted() ? ZIP_EM_AES_256 : ZIP_EM_NONE;
                fresh.comp_method = ZIP_CM_DEFLATE;
                if (!chunked(file)) {
                    // A whole entry is ready before libzip writes its header: its sizes and CRC are known.
                    try {
                        if (!nextPiece(source))
                            return refuse(source, ZIP_ER_INTERNAL, result::CannotReadFile);
                    } catch (std::int32_t code) {
                        return refuse(source, ZIP_ER_READ, code);
                    }
                    fresh.valid |= ZIP_STAT_COMP_SIZE | ZIP_STAT_CRC;
                    fresh.comp_size = source.piece.bytes.size;
                    fresh.crc = source.piece.crc;
                    if (source.piece.stored) fresh.comp_method = ZIP_CM_STORE;
                }
                source.stat = fresh;
            }
            *st = *source.stat;
            return sizeof(*st);
        }
        case ZIP_SOURCE_OPEN:
            if (cancelled(options_.abort)) return refuse(source, ZIP_ER_CANCELLED, result::Cancelled);
            source.delivered = source.plainDone = 0;
            if (chunked(file) && encrypted()) {
                source.cipher = aes::EntryCipher::forWriting(options_.password, kStrength);
                source.framing.assign(reinterpret_cast<const char*>(source.cipher->header()),
                                      source.cipher->headerSize());
            }
            status(source, 0, false);
            return 0;
        case ZIP_SOURCE_READ: {
            if (cancelled(options_.abort)) return refuse(source, ZIP_ER_CANCELLED, result::Cancelled);
            zip_int64_t count;
            try {
                count = read(source, static_cast<std::uint8_t*>(data), length);
            } catch (std::int32_t code) {
                return refuse(source, ZIP_ER_READ, code);
            }
            if (count == 0 && !source.completed) {
                source.completed = true;
                finished_ += file.size;
                if (chunked(file)) {
                    source.stat->valid |= ZIP_STAT_COMP_SIZE | ZIP_STAT_CRC;
                    source.stat->comp_size = source.delivered;
                    source.stat->crc = source.crc;
                }
                status(source, file.size, true);
                progress(finished_);
            }
            return count;
        }
        case ZIP_SOURCE_CLOSE:
            source.piece = Piece{};
            return 0;
        case ZIP_SOURCE_ERROR:
            return zip_error_to_data(&source.error, data, length);
        default:
            zip_error_set(&source.error, ZIP_ER_OPNOTSUPP, 0);
            return -1;
        }
    }

    // Hands out the entry's next bytes: the whole piece, or header, chunks and code of a chunked entry.
    zip_int64_t read(EntrySource& source, std::uint8_t* data, zip_uint64_t length) {
        const SourceFile& file = files_[source.index];
        size_t given = 0;
        const auto give = [&](const std::uint8_t* from, size_t available) {
            const size_t n = static_cast<size_t>(std::min<std::uint64_t>(available, length - given));
            std::memcpy(data + given, from, n);
            given += n;
            return n;
        };
        while (given < length) {
            if (!source.framing.empty()) {
                const size_t n =
                    give(reinterpret_cast<const std::uint8_t*>(source.framing.data()), source.framing.size());
                source.framing.erase(0, n);
                continue;
            }
            if (source.pieceAt == source.piece.bytes.size) {
                if (!chunked(file) || !nextChunk(source))
                    break; // a whole entry's one piece came with its stat
                continue;
            }
            source.pieceAt +=
                give(source.piece.bytes.data() + source.pieceAt, source.piece.bytes.size - source.pieceAt);
        }
        const std::uint64_t before = source.plainDone;
        source.delivered += given;
        const std::uint64_t total =
            std::max<std::uint64_t>(chunked(file) ? file.size : source.piece.bytes.size, 1);
        source.plainDone = chunked(file)
                               ? source.plainDone
                               : std::min<std::uint64_t>(source.delivered * file.size / total, file.size);
        if (given > 0 && source.plainDone < file.size && progressDue(before, source.plainDone, file.size)) {
            status(source, source.plainDone, false);
            progress(finished_ + source.plainDone);
        }
        return static_cast<zip_int64_t>(given);
    }

    // The next chunk of a chunked entry, encrypted; after the last, the code. False at the very end.
    bool nextChunk(EntrySource& source) {
        if (!nextPiece(source)) {
            if (source.cipher) {
                const auto code = source.cipher->code();
                source.framing.assign(reinterpret_cast<const char*>(code.data()), code.size());
                source.cipher.reset();
                return true;
            }
            return false;
        }
        Piece& piece = source.piece;
        if (source.cipher) source.cipher->encrypt(piece.bytes.data(), piece.bytes.size);
        source.crc = static_cast<std::uint32_t>(
            crc32_combine(source.crc, piece.crc, static_cast<z_off_t>(piece.plain)));
        source.plainDone += piece.plain;
        return true;
    }

    const std::vector<SourceFile>& files_;
    const WriteOptions& options_;
    std::vector<Item> items_;
    std::vector<size_t> firstItem_;
    std::int32_t failure_ = result::Success;
    std::uint64_t total_ = 0;
    std::uint64_t finished_ = 0; // bytes of the entries already written
    std::optional<OrderedWork<Piece>> work_;
};

} // namespace

std::int32_t writeZip(int zipFd, const std::vector<SourceFile>& files, const WriteOptions& options) {
    // Declared before the archive, which still calls the sources while it is discarded.
    std::vector<std::unique_ptr<EntrySource>> sources;
    std::int32_t code = result::Success;
    std::optional<Writer> writer;
    try {
        writer.emplace(files, options);
    } catch (const std::exception&) {
        return result::OutOfMemory;
    }
    OpenZip za = OpenZip::open(Fd(::dup(zipFd)), true, ZIP_CREATE | ZIP_TRUNCATE, code);
    if (!za) return code;
    for (size_t i = 0; i < files.size(); ++i) {
        auto state = std::make_unique<EntrySource>();
        state->writer = &*writer;
        state->index = i;
        std::tie(state->firstItem, state->itemCount) = writer->itemsOf(i);
        state->nextItem = state->firstItem;
        zip_error_init(&state->error);
        zip_source_t* source = zip_source_function(za.get(), &Writer::callback, state.get());
        if (!source) return result::CannotCreateZip;
        const zip_int64_t index =
            zip_file_add(za.get(), files[i].entryName.c_str(), source, ZIP_FL_ENC_UTF_8);
        if (index < 0) {
            zip_source_free(source);
            return zip_error_code_zip(zip_get_error(za.get())) == ZIP_ER_EXISTS ? result::DuplicateName
                                                                                : result::CannotCreateZip;
        }
        const auto entry = static_cast<zip_uint64_t>(index);
        // The bytes arrive deflated and encrypted; libzip copies them as they are.
        zip_set_file_compression(za.get(), entry, ZIP_CM_DEFLATE,
                                 static_cast<zip_uint32_t>(std::max(options.level, 1)));
        if (writer->encrypted() && zip_file_set_encryption(za.get(), entry, ZIP_EM_AES_256, nullptr) != 0)
            return result::UnsupportedEntry;
        zip_file_set_mtime(za.get(), entry, files[i].mtime, 0);
        sources.push_back(std::move(state));
    }
    if (za.close()) return result::Success;
    if (cancelled(options.abort)) return result::Cancelled;
    if (writer->failure() != result::Success) return writer->failure();
    return codeForZipError(zip_get_error(za.get()), result::CannotCreateZip);
}

} // namespace archive::engine
