#pragma once
// A token bucket holding the bytes of every transfer together to one rate: the player's
// bandwidth cap ("2M", "500K"). Tokens grow at the rate up to a small burst; a transfer may
// take a piece of body while any token is left and pauses otherwise, so the total over any few
// seconds stays within a burst and one piece of the rate. The clock is given by the caller.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

namespace nimbrel {

class TokenBucket {
public:
    using Clock = std::chrono::steady_clock;

    // bytesPerSecond > 0.
    TokenBucket(std::uint64_t bytesPerSecond, Clock::time_point now);

    // True when a piece of body may be taken now (a token is left).
    [[nodiscard]] bool mayTake(Clock::time_point now);
    // Counts bytes taken; the bucket may go below zero by the last piece.
    void take(std::uint64_t bytes, Clock::time_point now);
    // How long until mayTake() is true again (zero when it is now).
    [[nodiscard]] std::chrono::milliseconds wait(Clock::time_point now);

    std::uint64_t bytesPerSecond() const { return rate_; }
    // The largest piece of body one transfer should be handed at a time under this rate: a
    // sixteenth of a second's worth, at least 16 KiB, at most 512 KiB.
    std::uint64_t pieceSize() const;

    // "2M", "500K", "1.5m", "100000" (bytes per second; K, M and G are powers of 1024, an "/s"
    // or "B" after them is allowed). Nothing for anything else; 0 for "0" (no limit).
    static std::optional<std::uint64_t> parseRate(std::string_view text);

private:
    void refill(Clock::time_point now);

    std::uint64_t rate_;
    double tokens_;
    double capacity_;
    Clock::time_point last_;
};

}  // namespace nimbrel
