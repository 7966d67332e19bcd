// Whole-buffer deflate and streaming inflate: a damaged or cut stream must never pass as
// an entry's content.

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "pack/DeflateCodec.h"

namespace nimbrel {
namespace {

std::vector<unsigned char> mixedContent(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<unsigned char> data(size);
    for (std::size_t i = 0; i < size; ++i)
        data[i] = (i / 4096) % 2 ? static_cast<unsigned char>(random()) : 'a' + i % 7;
    return data;
}

TEST(DeflateCodec, RoundTripsEverySizeFromEmptyToSeveralMegabytes) {
    for (std::size_t size : {0u, 1u, 2u, 1000u, 65536u, 65537u, 3u << 20}) {
        SCOPED_TRACE(size);
        auto data = mixedContent(size, static_cast<unsigned>(size));
        std::vector<unsigned char> deflated;
        ASSERT_TRUE(DeflateCodec::deflate(data.data(), data.size(), deflated));
        std::vector<unsigned char> back(size);
        EXPECT_TRUE(DeflateCodec::inflate(deflated.data(), deflated.size(), back.data(), size));
        EXPECT_EQ(back, data);
    }
}

TEST(DeflateCodec, InflateRefusesCutOverlongAndGarbageStreams) {
    auto data = mixedContent(20000, 3);
    std::vector<unsigned char> deflated;
    ASSERT_TRUE(DeflateCodec::deflate(data.data(), data.size(), deflated));
    std::vector<unsigned char> out(data.size() + 1);
    EXPECT_FALSE(DeflateCodec::inflate(deflated.data(), deflated.size() / 2, out.data(), data.size())) << "cut";
    EXPECT_FALSE(DeflateCodec::inflate(deflated.data(), deflated.size(), out.data(), data.size() - 1)) << "too long";
    EXPECT_FALSE(DeflateCodec::inflate(deflated.data(), deflated.size(), out.data(), data.size() + 1)) << "too short";
    std::vector<unsigned char> garbage(300, 0xFF);
    EXPECT_FALSE(DeflateCodec::inflate(garbage.data(), garbage.size(), out.data(), data.size())) << "garbage";
}

TEST(DeflateCodec, StreamingInflaterMatchesWholeBufferInflateFedByteByByte) {
    auto data = mixedContent(50000, 5);
    std::vector<unsigned char> deflated;
    ASSERT_TRUE(DeflateCodec::deflate(data.data(), data.size(), deflated));
    DeflateCodec::Inflater inflater;
    ASSERT_TRUE(inflater.ok());
    std::vector<unsigned char> out;
    unsigned char chunk[777];
    std::size_t fed = 0;
    while (!inflater.finished()) {
        if (inflater.needsInput()) {
            ASSERT_LT(fed, deflated.size()) << "stream did not end";
            inflater.feed(&deflated[fed++], 1);
        }
        long long n = inflater.produce(chunk, sizeof(chunk));
        ASSERT_GE(n, 0);
        out.insert(out.end(), chunk, chunk + n);
    }
    EXPECT_EQ(out, data);
}

TEST(DeflateCodec, CompressorsOnSeveralThreadsGiveTheSameStream) {
    auto data = mixedContent(1 << 20, 9);
    std::vector<unsigned char> expected;
    ASSERT_TRUE(DeflateCodec::deflate(data.data(), data.size(), expected));
    std::vector<std::vector<unsigned char>> results(3);
    std::vector<std::thread> threads;
    for (auto& result : results)
        threads.emplace_back([&data, &result] {
            for (int i = 0; i < 3; ++i) (void)DeflateCodec::deflate(data.data(), data.size(), result);
        });
    for (auto& t : threads) t.join();
    for (const auto& result : results) EXPECT_EQ(result, expected);
}

TEST(DeflateCodec, Crc32MatchesZlibAcrossPieces) {
    auto data = mixedContent(100000, 11);
    std::uint32_t whole = static_cast<std::uint32_t>(::crc32(0, data.data(), static_cast<uInt>(data.size())));
    EXPECT_EQ(DeflateCodec::crc32(data.data(), data.size()), whole);
    std::uint32_t pieces = DeflateCodec::crc32(data.data(), 12345);
    pieces = DeflateCodec::crc32(data.data() + 12345, data.size() - 12345, pieces);
    EXPECT_EQ(pieces, whole);
}

}  // namespace
}  // namespace nimbrel
