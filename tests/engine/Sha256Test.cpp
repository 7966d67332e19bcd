// SHA-256 decides whether a player's file is the released one: it must agree with the standard's
// digests and with libsodium for every length and every way the bytes are cut into pieces.

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "engine/Sha256.h"

namespace nimbrel {
namespace {

std::string sodiumHex(const std::string& bytes) {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    char hex[crypto_hash_sha256_BYTES * 2 + 1];
    return sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
}

TEST(Sha256Test, KnownDigests) {
    const struct {
        std::string input;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) EXPECT_EQ(Sha256::hexOf(c.input), c.digest) << c.input.size() << " bytes";
}

TEST(Sha256Test, AgreesWithLibsodiumForEveryLengthAndSplit) {
    std::mt19937 random(11);
    std::string bytes(4096 + 77, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    for (std::size_t length = 0; length <= 300; ++length) {
        const std::string input = bytes.substr(0, length);
        Sha256 pieces;
        for (std::size_t at = 0; at < length;) {  // pieces of 1 to 70 bytes, across block edges
            const std::size_t take = std::min<std::size_t>(length - at, 1 + random() % 70);
            pieces.update(input.data() + at, take);
            at += take;
        }
        ASSERT_EQ(pieces.hexDigest(), sodiumHex(input)) << length << " bytes";
    }
    EXPECT_EQ(Sha256::hexOf(bytes), sodiumHex(bytes));
}

}  // namespace
}  // namespace nimbrel
