// The shared rate limit: what a player may write as a rate, and a bucket that holds pieces taken
// as fast as it allows to the rate over every five seconds.

#include <gtest/gtest.h>

#include <deque>

#include "platform/TokenBucket.h"

namespace nimbrel {
namespace {

TEST(TokenBucketTest, ParsesRatesAsPlayersWriteThem) {
    const struct {
        const char* text;
        std::optional<std::uint64_t> bytes;
    } cases[] = {
        {"2M", 2u << 20},        {"500K", 500u << 10},
        {"500k", 500u << 10},    {"1.5m", 3u << 19},
        {"100000", 100000u},     {" 2M ", 2u << 20},
        {"2MB", 2u << 20},       {"2M/s", 2u << 20},
        {"1G", 1u << 30},        {"0", 0u},
        {"", std::nullopt},      {"M", std::nullopt},
        {"2X", std::nullopt},    {"-1", std::nullopt},
        {"1.2.3", std::nullopt}, {"fast", std::nullopt},
        {".5M", std::nullopt},   {"2 M", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(TokenBucket::parseRate(c.text), c.bytes) << '"' << c.text << '"';
}

// Six takers, each taking a whole piece whenever the bucket lets it, on a clock that moves in
// steps of a millisecond: every five-second span carries the rate within a tenth.
TEST(TokenBucketTest, PiecesTakenAsFastAsAllowedHoldTheRate) {
    for (std::uint64_t rate : {20u * 1024, 500u * 1024, 8u << 20}) {
        const auto start = TokenBucket::Clock::now();
        TokenBucket bucket(rate, start);
        std::deque<std::pair<int, std::uint64_t>> taken;  // millisecond, bytes
        for (int ms = 0; ms < 20000; ++ms) {
            const auto now = start + std::chrono::milliseconds(ms);
            for (int taker = 0; taker < 6; ++taker) {
                if (!bucket.mayTake(now)) break;
                bucket.take(bucket.pieceSize(), now);
                taken.emplace_back(ms, bucket.pieceSize());
            }
        }
        for (int from = 0; from + 5000 <= 20000; from += 250) {
            std::uint64_t bytes = 0;
            for (const auto& [ms, size] : taken)
                if (ms >= from && ms < from + 5000) bytes += size;
            EXPECT_NEAR(static_cast<double>(bytes), 5.0 * rate, 0.5 * rate) << rate << " from " << from;
        }
    }
}

}  // namespace
}  // namespace nimbrel
