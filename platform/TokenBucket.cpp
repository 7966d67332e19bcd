#include "platform/TokenBucket.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <string>

namespace nimbrel {

TokenBucket::TokenBucket(std::uint64_t bytesPerSecond, Clock::time_point now)
    : rate_(std::max<std::uint64_t>(1, bytesPerSecond)), last_(now) {
    // A tenth of a second's worth: a loop that wakes a little late loses no time, and a burst
    // after a pause adds little to what any five seconds carry.
    capacity_ = std::max(static_cast<double>(rate_) / 10, 1.0);
    tokens_ = capacity_;
}

void TokenBucket::refill(Clock::time_point now) {
    if (now <= last_) return;
    tokens_ = std::min(capacity_, tokens_ + std::chrono::duration<double>(now - last_).count() * rate_);
    last_ = now;
}

bool TokenBucket::mayTake(Clock::time_point now) {
    refill(now);
    return tokens_ > 0;
}

void TokenBucket::take(std::uint64_t bytes, Clock::time_point now) {
    refill(now);
    tokens_ -= static_cast<double>(bytes);
}

std::chrono::milliseconds TokenBucket::wait(Clock::time_point now) {
    refill(now);
    if (tokens_ > 0) return std::chrono::milliseconds(0);
    return std::chrono::milliseconds(static_cast<long>(std::ceil(-tokens_ * 1000 / rate_)) + 1);
}

std::uint64_t TokenBucket::pieceSize() const { return std::clamp<std::uint64_t>(rate_ / 16, 1024, 512 * 1024); }

std::optional<std::uint64_t> TokenBucket::parseRate(std::string_view text) {
    std::string value(text);
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back()))) value.pop_back();
    value.erase(0, std::min(value.size(), value.find_first_not_of(" \t")));
    std::size_t digits = 0;
    while (digits < value.size() && (std::isdigit(static_cast<unsigned char>(value[digits])) || value[digits] == '.'))
        ++digits;
    if (digits == 0 || std::count(value.begin(), value.begin() + digits, '.') > 1 || value[0] == '.')
        return std::nullopt;
    std::string unit;
    for (char c : value.substr(digits)) unit += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (unit.ends_with("/s")) unit.resize(unit.size() - 2);
    if (unit.ends_with("b")) unit.resize(unit.size() - 1);
    double scale = 1;
    if (unit == "k")
        scale = 1024;
    else if (unit == "m")
        scale = 1024.0 * 1024;
    else if (unit == "g")
        scale = 1024.0 * 1024 * 1024;
    else if (!unit.empty())
        return std::nullopt;
    const double bytes = std::stod(value.substr(0, digits)) * scale;
    if (!std::isfinite(bytes) || bytes >= 1e15) return std::nullopt;
    return static_cast<std::uint64_t>(bytes);
}

}  // namespace nimbrel
