#pragma once
#include <cstdint>

namespace archive {

// Sizes and thread counts of the zip engine. The defaults suit backup images; tests make them small so that
// every path is reached with small files.
struct ZipLimits {
    std::uint64_t wholeBufferLimit = 64ull << 20; // files up to this size are deflated whole in a worker
    std::uint64_t chunkSize = 1 << 20;            // larger files are deflated in parallel chunks of this size
    std::uint64_t tileSize = 1 << 20; // entries are read, decrypted and inflated in tiles of this size
    std::uint64_t inFlightBudget = 128ull << 20; // input bytes the workers may hold ahead of the writer
    unsigned workers = 0;                        // 0: one per core, at most 8
};

} // namespace archive
