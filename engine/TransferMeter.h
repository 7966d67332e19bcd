#pragma once
// The arithmetic behind "3.2/6.0 MB, 210 KB/s, 0:23 left": the rate over the wire averaged over
// the last few seconds, and a time left that follows it smoothly instead of jumping with every
// burst and stall. Bytes a partial held or the cache confirmed count as done but never as rate:
// they took no time. The downloader feeds it; both front ends show its text.

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "platform/PatchWindow.h"

namespace nimbrel {

class TransferMeter {
public:
    using Clock = std::chrono::steady_clock;
    // The rate is what arrived over this span, once at least kFirstRate of it was measured.
    static constexpr std::chrono::milliseconds kRateSpan{6000};
    static constexpr std::chrono::milliseconds kFirstRate{1000};
    // How quickly the time left moves toward what the present rate says: a change of rate takes
    // about this long to show in full.
    static constexpr std::chrono::milliseconds kSettle{5000};

    // wireBytes: bytes received over the network so far, every attempt counted (never falls).
    [[nodiscard]] TransferProgress update(Clock::time_point now, std::uint64_t done, std::uint64_t total,
                                          std::uint64_t resumed, std::uint64_t wireBytes);

    // "resumed, 3.2/6.0 MB, 210 KB/s, 0:23 left"; the parts not known yet are left out.
    static std::string describe(const TransferProgress& progress);
    // "812 B", "96 KB", "3.2 MB", "1.05 GB" (powers of 1024).
    static std::string bytesText(std::uint64_t bytes);
    // "45 s", "2:05", "1:02:05".
    static std::string durationText(int seconds);

private:
    struct Sample {
        Clock::time_point at;
        std::uint64_t wireBytes;
    };
    std::deque<Sample> samples_;
    std::optional<double> secondsLeft_;
    Clock::time_point leftAt_{};
};

}  // namespace nimbrel
