#pragma once
// The WinZip AES framing of an encrypted zip entry (AE-1 and AE-2): salt, password verifier, AES in counter
// mode and a 10-byte HMAC-SHA1 code, over OpenSSL's primitives. The entry's data is
// salt | verifier (2) | ciphertext | code (10).
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

namespace archive::engine::aes {

inline constexpr size_t kVerifierSize = 2;
inline constexpr size_t kCodeSize = 10;

// Salt bytes for a key strength of 1 (AES-128), 2 (AES-192) or 3 (AES-256).
size_t saltSize(int strength);
// Bytes the framing adds to an entry's data.
inline size_t overhead(int strength) {
    return saltSize(strength) + kVerifierSize + kCodeSize;
}

// One entry's cipher: the keystream position and the running code. Not copyable; movable.
class EntryCipher {
  public:
    // For writing: a fresh random salt; the header (salt and verifier) to put before the data.
    static EntryCipher forWriting(std::string_view password, int strength);
    // For reading: from the header at the start of the entry's data; nothing when the verifier does not
    // match the password (a wrong password, in all but 1 of 65536 cases).
    static std::optional<EntryCipher> forReading(std::string_view password, int strength,
                                                 const std::uint8_t* header);
    EntryCipher(EntryCipher&&) noexcept;
    EntryCipher& operator=(EntryCipher&&) noexcept;
    ~EntryCipher();

    const std::uint8_t* header() const;
    size_t headerSize() const;

    // Encrypts in place, and takes the ciphertext into the code.
    void encrypt(std::uint8_t* data, size_t size);
    // Takes the ciphertext into the code, then decrypts in place.
    void decrypt(std::uint8_t* data, size_t size);
    // The code of all the ciphertext so far.
    std::array<std::uint8_t, kCodeSize> code();
    // True when `stored` (kCodeSize bytes) equals the code, compared in constant time.
    bool codeMatches(const std::uint8_t* stored);

  private:
    struct State;
    explicit EntryCipher(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

} // namespace archive::engine::aes
