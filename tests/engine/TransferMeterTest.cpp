// The status line's bytes, rate and time left: the texts, and a time left that settles instead
// of jumping with every burst or stall of the line.

#include <gtest/gtest.h>

#include <cstdlib>

#include "engine/TransferMeter.h"

namespace nimbrel {
namespace {

TEST(TransferMeterTest, DescribesWhatIsKnown) {
    constexpr std::uint64_t MB = 1024 * 1024;
    const struct {
        TransferProgress progress;
        const char* text;
    } cases[] = {
        {{0, 0, 0, 0, -1}, "0 B"},
        {{300 * 1024, 0, 0, 0, -1}, "300 KB"},
        {{3 * MB + MB / 5, 6 * MB, 0, 210 * 1024, 23}, "3.2/6.0 MB, 210 KB/s, 23 s left"},
        {{500 * 1024, 6 * MB, 0, 0, -1}, "500 KB/6.0 MB"},
        {{2 * MB, 6 * MB, 2 * MB, 0, -1}, "resumed, 2.0/6.0 MB"},
        {{MB, 3ull << 30, 0, 5 * MB, 3725}, "1.0 MB/3.00 GB, 5.0 MB/s, 1:02:05 left"},
        {{6 * MB, 6 * MB, 0, 5 * MB, 0}, "6.0/6.0 MB"},
    };
    for (const auto& c : cases) EXPECT_EQ(TransferMeter::describe(c.progress), c.text);
}

// A line that carries 50 KB/s and 150 KB/s by turns, a second each (100 KB/s on average): the
// time left counts down by about a second a second, never jumping with the line, and matches
// what the average rate leaves.
TEST(TransferMeterTest, TimeLeftCountsDownSmoothlyOnABurstyLine) {
    constexpr std::uint64_t kRate = 100 * 1024;
    constexpr std::uint64_t kTotal = 60 * kRate;
    TransferMeter meter;
    const auto start = TransferMeter::Clock::now();
    std::uint64_t done = 0;
    int previous = -1;
    for (int tenth = 1; tenth <= 400; ++tenth) {
        done += (tenth / 10) % 2 ? kRate * 3 / 20 : kRate / 20;
        const TransferProgress p = meter.update(start + std::chrono::milliseconds(100 * tenth), done, kTotal, 0, done);
        if (tenth < 20) continue;  // the first seconds measure the line
        ASSERT_GE(p.secondsLeft, 0) << tenth;
        if (previous >= 0) {
            EXPECT_LE(p.secondsLeft, previous + 1) << tenth;
            EXPECT_GE(p.secondsLeft, previous - 1) << tenth;
        }
        previous = p.secondsLeft;
    }
    EXPECT_NEAR(previous, static_cast<double>(kTotal - done) / kRate, 2.0);
}

}  // namespace
}  // namespace nimbrel
