#pragma once
// Traditional PKWARE zip encryption: the three-key stream cipher driven by the CRC-32 table.
// Every pack entry is stored behind it, so the game's reader and every standard zip tool must
// find exactly the bytes this cipher produces.

#include <cstddef>
#include <cstdint>
#include <span>

namespace nimbrel {

class ZipCrypto {
public:
    static constexpr std::size_t kHeaderSize = 12;

    explicit ZipCrypto(const char* password);

    void encrypt(unsigned char* data, std::size_t size);
    void decrypt(unsigned char* data, std::size_t size);

    // Several entries' data, each under its own cipher (primed by readHeader), decrypted side
    // by side, four at a time: each byte of one entry waits for the last, but the chains of
    // different entries overlap in the processor. The same bytes as decrypt() on each, nearly
    // three times as fast while four entries remain.
    struct Stream {
        ZipCrypto* cipher;
        unsigned char* data;
        std::size_t size;
    };
    static void decryptSideBySide(std::span<Stream> streams);

    // Encrypts the 12-byte header that opens an entry: ten random bytes, then the two bytes
    // of the check value's high word (the entry's CRC-32, which zip tools check). With
    // random == nullptr the ten bytes come from the system's random source.
    void makeHeader(unsigned char header[kHeaderSize], std::uint32_t checkValue, const unsigned char* random = nullptr);
    // Decrypts a header and primes the keys for the data behind it. The check byte is never
    // verified: older packs were written with a check value of 0 and would fail it.
    void readHeader(const unsigned char header[kHeaderSize]);

private:
    std::uint32_t keys_[3];
};

}  // namespace nimbrel
