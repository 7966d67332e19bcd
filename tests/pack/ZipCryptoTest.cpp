// The traditional zip cipher: it must agree byte for byte with other zip tools, or the
// game cannot read our packs and we cannot read archives made elsewhere.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "pack/ZipCrypto.h"

namespace nimbrel {
namespace {

// An entry stored (not deflated) by Info-ZIP zip 3.0 with -P "Zz9!pass": 12-byte header,
// then the encrypted text. Info-ZIP wrote it with a data descriptor, so its check byte is
// the high byte of the entry's DOS time (0x15ec).
const std::vector<unsigned char> kInfoZipStored = {
    0x7f, 0xfe, 0x03, 0x94, 0x7f, 0xa2, 0x81, 0xd5, 0xf7, 0xae, 0x4a, 0x05, 0xb2, 0xd6, 0x9e,
    0x25, 0x62, 0x5c, 0x16, 0xfa, 0x40, 0x4b, 0x31, 0x3d, 0x7f, 0x1c, 0x63, 0x0c, 0x64, 0xdf,
    0x79, 0x06, 0x14, 0x58, 0x4f, 0xd7, 0x57, 0xd0, 0x75, 0x7c, 0x78, 0x8a, 0x4d, 0x56, 0x51};
const std::string kInfoZipPlain = "Quorlan packs keep the game data.";

TEST(ZipCrypto, DecryptsWhatInfoZipEncrypted) {
    std::vector<unsigned char> data = kInfoZipStored;
    ZipCrypto crypto("Zz9!pass");
    crypto.decrypt(data.data(), data.size());
    EXPECT_EQ(data[11], 0x15);
    EXPECT_EQ(std::string(data.begin() + 12, data.end()), kInfoZipPlain);
}

TEST(ZipCrypto, ReadHeaderPrimesKeysForTheDataBehindIt) {
    std::vector<unsigned char> data = kInfoZipStored;
    ZipCrypto crypto("Zz9!pass");
    crypto.readHeader(data.data());
    crypto.decrypt(data.data() + 12, data.size() - 12);
    EXPECT_EQ(std::string(data.begin() + 12, data.end()), kInfoZipPlain);
}

TEST(ZipCrypto, EncryptsTheSameBytesAsInfoZipGivenItsHeader) {
    // Re-encrypting the decrypted header and text must give Info-ZIP's bytes back exactly.
    std::vector<unsigned char> plain = kInfoZipStored;
    ZipCrypto(("Zz9!pass")).decrypt(plain.data(), plain.size());
    ZipCrypto crypto("Zz9!pass");
    crypto.encrypt(plain.data(), plain.size());
    EXPECT_EQ(plain, kInfoZipStored);
}

TEST(ZipCrypto, HeaderEncryptsTheCheckValuesHighWord) {
    struct Case {
        std::uint32_t check;
        unsigned char byte10, byte11;
    };
    const unsigned char random[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    for (Case c : {Case{0, 0, 0}, Case{0xA1B2C3D4u, 0xB2, 0xA1}, Case{0xFFFF0000u, 0xFF, 0xFF}}) {
        SCOPED_TRACE(c.check);
        unsigned char header[ZipCrypto::kHeaderSize];
        ZipCrypto("pw").makeHeader(header, c.check, random);
        ZipCrypto("pw").decrypt(header, sizeof(header));
        EXPECT_EQ(std::vector<unsigned char>(header, header + 10), std::vector<unsigned char>(random, random + 10));
        EXPECT_EQ(header[10], c.byte10);
        EXPECT_EQ(header[11], c.byte11);
    }
}

TEST(ZipCrypto, RoundTripsUnderEachPasswordAndOnlyUnderIt) {
    std::string text(5000, '\0');
    for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 31 + 7);
    for (const char* password : {"", "a", "(~)^!15e43961`'@#&", "\xb0\xa1\xb3\xaa"}) {
        SCOPED_TRACE(password);
        std::vector<unsigned char> data(ZipCrypto::kHeaderSize + text.size());
        std::copy(text.begin(), text.end(), data.begin() + ZipCrypto::kHeaderSize);
        ZipCrypto writer(password);
        writer.makeHeader(data.data(), 0);
        writer.encrypt(data.data() + ZipCrypto::kHeaderSize, text.size());
        EXPECT_NE(std::string(data.begin() + ZipCrypto::kHeaderSize, data.end()), text);

        std::vector<unsigned char> copy = data;
        ZipCrypto reader(password);
        reader.readHeader(copy.data());
        reader.decrypt(copy.data() + ZipCrypto::kHeaderSize, text.size());
        EXPECT_EQ(std::string(copy.begin() + ZipCrypto::kHeaderSize, copy.end()), text);

        ZipCrypto wrong("not the password");
        wrong.readHeader(data.data());
        wrong.decrypt(data.data() + ZipCrypto::kHeaderSize, text.size());
        EXPECT_NE(std::string(data.begin() + ZipCrypto::kHeaderSize, data.end()), text);
    }
}

TEST(ZipCrypto, LargeBuffersEncryptAsTheyDoInSmallPieces) {
    // One call on a large buffer takes a different path from calls on a few bytes; both must
    // give the same bytes, and decrypt back, at every size around the blocks that path uses.
    for (std::size_t size : {255u, 300u, 16383u, 16384u, 16385u, 3 * 16384u + 77u, 200000u}) {
        SCOPED_TRACE(size);
        std::vector<unsigned char> plain(size);
        for (std::size_t i = 0; i < size; ++i) plain[i] = static_cast<unsigned char>((i * 2654435761u) >> 13);
        std::vector<unsigned char> whole = plain, pieces = plain;
        ZipCrypto("pw").encrypt(whole.data(), whole.size());
        ZipCrypto small("pw");
        for (std::size_t at = 0; at < size; at += 1000)
            small.encrypt(pieces.data() + at, std::min<std::size_t>(1000, size - at));
        EXPECT_EQ(whole, pieces);
        ZipCrypto("pw").decrypt(whole.data(), whole.size());
        EXPECT_EQ(whole, plain);
    }
}

TEST(ZipCrypto, HeadersDifferBetweenEntries) {
    // Equal headers would give equal key streams for every entry under one password.
    unsigned char first[ZipCrypto::kHeaderSize], second[ZipCrypto::kHeaderSize];
    ZipCrypto("pw").makeHeader(first, 0);
    ZipCrypto("pw").makeHeader(second, 0);
    EXPECT_NE(std::vector<unsigned char>(first, first + 10), std::vector<unsigned char>(second, second + 10));
}

}  // namespace
}  // namespace nimbrel
