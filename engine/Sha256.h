#pragma once
// SHA-256 of a stream of bytes: what the signed list, the release manifest and `verify` compare.
// On processors with the SHA instructions (most x86-64 machines since 2017) the blocks are
// hashed with them, several times faster than in software; elsewhere libsodium hashes.
//
//   Sha256 hash;
//   hash.update(data, size);          // as often as the bytes come
//   std::string hex = hash.hexDigest();

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <sodium.h>

namespace nimbrel {

class Sha256 {
public:
    static constexpr std::size_t kDigestBytes = 32;
    using Digest = std::array<unsigned char, kDigestBytes>;

    Sha256();
    void update(const void* data, std::size_t size);
    // Ends the hash; the object is not updated afterwards.
    Digest digest();
    // The digest as 64 lower-case hex digits.
    std::string hexDigest();

    static std::string hexOf(std::string_view bytes);
    // Whether this processor hashes with its SHA instructions.
    static bool hardware();

private:
    void compress(const unsigned char* blocks, std::size_t count);

    bool hardware_;
    crypto_hash_sha256_state sodium_;  // used when !hardware_
    std::uint32_t state_[8];
    unsigned char buffer_[64];
    std::size_t buffered_ = 0;
    std::uint64_t length_ = 0;
};

}  // namespace nimbrel
