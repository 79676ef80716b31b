#include "archive/internal/WinZipAes.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

namespace archive::engine::aes {
namespace {

constexpr int kIterations = 1000;
constexpr size_t kBlock = 16;
// Counter blocks are encrypted this many at a time: one EVP call over a buffer keeps AES-NI busy.
constexpr size_t kBlocksAtOnce = 4096;

size_t keySize(int strength) {
    return 8 + 8 * static_cast<size_t>(strength);
}

const EVP_CIPHER* cipherFor(int strength) {
    return strength == 1 ? EVP_aes_128_ecb() : strength == 2 ? EVP_aes_192_ecb() : EVP_aes_256_ecb();
}

// data ^= key, eight bytes at a time.
void xorInto(std::uint8_t* __restrict data, const std::uint8_t* __restrict key, size_t size) {
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t a, b;
        std::memcpy(&a, data + i, 8);
        std::memcpy(&b, key + i, 8);
        a ^= b;
        std::memcpy(data + i, &a, 8);
    }
    for (; i < size; ++i)
        data[i] ^= key[i];
}

void require(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("WinZip AES: ") + what + " failed");
}

} // namespace

size_t saltSize(int strength) {
    if (strength < 1 || strength > 3) throw std::invalid_argument("WinZip AES: unknown key strength");
    return 4 + 4 * static_cast<size_t>(strength);
}

struct EntryCipher::State {
    std::array<std::uint8_t, 16 + kVerifierSize> header{};
    size_t headerSize = 0;
    EVP_CIPHER_CTX* aes = nullptr;
    EVP_MAC* macType = nullptr;
    EVP_MAC_CTX* mac = nullptr;
    std::uint64_t counter = 0; // blocks used so far
    std::vector<std::uint8_t> keystream = std::vector<std::uint8_t>(kBlock * kBlocksAtOnce);
    std::vector<std::uint8_t> counters = std::vector<std::uint8_t>(kBlock * kBlocksAtOnce);
    size_t keystreamAt = 0, keystreamEnd = 0; // unused keystream bytes

    ~State() {
        EVP_CIPHER_CTX_free(aes);
        EVP_MAC_CTX_free(mac);
        EVP_MAC_free(macType);
    }

    // Derives the keys; false when the verifier in the header does not match.
    bool init(std::string_view password, int strength, bool checkVerifier) {
        const size_t salt = saltSize(strength), key = keySize(strength);
        std::vector<std::uint8_t> derived(2 * key + kVerifierSize);
        require(PKCS5_PBKDF2_HMAC_SHA1(password.data(), static_cast<int>(password.size()), header.data(),
                                       static_cast<int>(salt), kIterations, static_cast<int>(derived.size()),
                                       derived.data()) == 1,
                "key derivation");
        headerSize = salt + kVerifierSize;
        if (checkVerifier &&
            CRYPTO_memcmp(derived.data() + 2 * key, header.data() + salt, kVerifierSize) != 0)
            return false;
        std::memcpy(header.data() + salt, derived.data() + 2 * key, kVerifierSize);
        aes = EVP_CIPHER_CTX_new();
        require(aes && EVP_EncryptInit_ex(aes, cipherFor(strength), nullptr, derived.data(), nullptr) == 1,
                "the cipher");
        EVP_CIPHER_CTX_set_padding(aes, 0);
        macType = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
        mac = macType ? EVP_MAC_CTX_new(macType) : nullptr;
        char digest[] = "SHA1";
        const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                                     OSSL_PARAM_construct_end()};
        require(mac && EVP_MAC_init(mac, derived.data() + key, key, params) == 1, "the authentication code");
        OPENSSL_cleanse(derived.data(), derived.size());
        return true;
    }

    // The next counter blocks, little-endian from 1, encrypted in one call.
    void refill() {
        for (size_t b = 0; b < kBlocksAtOnce; ++b) {
            std::uint64_t value = ++counter;
            std::uint8_t* block = counters.data() + b * kBlock;
            for (size_t i = 0; i < 8; ++i, value >>= 8)
                block[i] = static_cast<std::uint8_t>(value);
            std::memset(block + 8, 0, 8);
        }
        int produced = 0;
        require(EVP_EncryptUpdate(aes, keystream.data(), &produced, counters.data(),
                                  static_cast<int>(counters.size())) == 1,
                "the cipher");
        keystreamAt = 0;
        keystreamEnd = static_cast<size_t>(produced);
    }

    void apply(std::uint8_t* data, size_t size) {
        while (size > 0) {
            if (keystreamAt == keystreamEnd) refill();
            const size_t n = std::min(size, keystreamEnd - keystreamAt);
            xorInto(data, keystream.data() + keystreamAt, n);
            data += n;
            size -= n;
            keystreamAt += n;
        }
    }

    void authenticate(const std::uint8_t* data, size_t size) {
        require(EVP_MAC_update(mac, data, size) == 1, "the authentication code");
    }
};

EntryCipher::EntryCipher(std::unique_ptr<State> state) : state_(std::move(state)) {}
EntryCipher::EntryCipher(EntryCipher&&) noexcept = default;
EntryCipher& EntryCipher::operator=(EntryCipher&&) noexcept = default;
EntryCipher::~EntryCipher() = default;

EntryCipher EntryCipher::forWriting(std::string_view password, int strength) {
    auto state = std::make_unique<State>();
    require(RAND_bytes(state->header.data(), static_cast<int>(saltSize(strength))) == 1, "making a salt");
    state->init(password, strength, false);
    return EntryCipher(std::move(state));
}

std::optional<EntryCipher> EntryCipher::forReading(std::string_view password, int strength,
                                                   const std::uint8_t* header) {
    auto state = std::make_unique<State>();
    std::memcpy(state->header.data(), header, saltSize(strength) + kVerifierSize);
    if (!state->init(password, strength, true)) return std::nullopt;
    return EntryCipher(std::move(state));
}

const std::uint8_t* EntryCipher::header() const {
    return state_->header.data();
}
size_t EntryCipher::headerSize() const {
    return state_->headerSize;
}

void EntryCipher::encrypt(std::uint8_t* data, size_t size) {
    state_->apply(data, size);
    state_->authenticate(data, size);
}

void EntryCipher::decrypt(std::uint8_t* data, size_t size) {
    state_->authenticate(data, size);
    state_->apply(data, size);
}

std::array<std::uint8_t, kCodeSize> EntryCipher::code() {
    std::array<std::uint8_t, 20> full{};
    size_t length = 0;
    require(EVP_MAC_final(state_->mac, full.data(), &length, full.size()) == 1, "the authentication code");
    std::array<std::uint8_t, kCodeSize> code{};
    std::memcpy(code.data(), full.data(), kCodeSize);
    return code;
}

bool EntryCipher::codeMatches(const std::uint8_t* stored) {
    const auto computed = code();
    return CRYPTO_memcmp(computed.data(), stored, kCodeSize) == 0;
}

} // namespace archive::engine::aes
