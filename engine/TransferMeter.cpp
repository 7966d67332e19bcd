#include "engine/TransferMeter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace nimbrel {

namespace {

double seconds(TransferMeter::Clock::duration span) { return std::chrono::duration<double>(span).count(); }

}  // namespace

TransferProgress TransferMeter::update(Clock::time_point now, std::uint64_t done, std::uint64_t total,
                                       std::uint64_t resumed, std::uint64_t wireBytes) {
    TransferProgress progress;
    progress.done = done;
    progress.total = total;
    progress.resumed = resumed;

    samples_.push_back(Sample{now, wireBytes});
    // One sample at or before the span's start is kept, so the span is always covered whole.
    while (samples_.size() > 2 && samples_[1].at <= now - kRateSpan) samples_.pop_front();
    const Sample& first = samples_.front();
    const double measured = seconds(now - first.at);
    if (measured >= seconds(kFirstRate) && wireBytes >= first.wireBytes)
        progress.bytesPerSecond = static_cast<double>(wireBytes - first.wireBytes) / measured;

    if (total > 0 && done >= total) {
        secondsLeft_ = 0.0;
    } else if (total > 0 && progress.bytesPerSecond > 0) {
        const double estimate = static_cast<double>(total - done) / progress.bytesPerSecond;
        if (!secondsLeft_) {
            secondsLeft_ = estimate;
        } else {
            // The last figure, counted down by the time since, moves toward the new estimate
            // only by the share of kSettle that has passed.
            const double elapsed = seconds(now - leftAt_);
            const double counted = std::max(0.0, *secondsLeft_ - elapsed);
            const double weight = std::min(1.0, elapsed / seconds(kSettle));
            secondsLeft_ = counted + (estimate - counted) * weight;
        }
    } else if (progress.bytesPerSecond <= 0) {
        secondsLeft_.reset();  // nothing arrives: no time can be promised
    }
    leftAt_ = now;
    if (secondsLeft_) progress.secondsLeft = static_cast<int>(std::lround(*secondsLeft_));
    return progress;
}

std::string TransferMeter::bytesText(std::uint64_t bytes) {
    char text[32];
    const double value = static_cast<double>(bytes);
    if (bytes < 1024)
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
    else if (bytes < 1024 * 1024)
        std::snprintf(text, sizeof text, "%.0f KB", value / 1024);
    else if (bytes < 1024ull * 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f MB", value / (1024 * 1024));
    else
        std::snprintf(text, sizeof text, "%.2f GB", value / (1024.0 * 1024 * 1024));
    return text;
}

std::string TransferMeter::durationText(int secondsLeft) {
    char text[32];
    const int s = std::max(0, secondsLeft);
    if (s < 60)
        std::snprintf(text, sizeof text, "%d s", s);
    else if (s < 3600)
        std::snprintf(text, sizeof text, "%d:%02d", s / 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%d:%02d:%02d", s / 3600, s / 60 % 60, s % 60);
    return text;
}

std::string TransferMeter::describe(const TransferProgress& progress) {
    std::string text = progress.resumed > 0 ? "resumed, " : "";
    if (progress.total > 0) {
        // Both in the total's unit: "3.2/6.0 MB".
        std::string total = bytesText(progress.total);
        const std::string unit = total.substr(total.find(' '));
        std::string done = bytesText(progress.done);
        if (done.size() > unit.size() && done.compare(done.size() - unit.size(), unit.size(), unit) == 0)
            done.resize(done.size() - unit.size());
        text += done + "/" + total;
    } else {
        text += bytesText(progress.done);
    }
    // A finished download has no rate or time left worth showing.
    if (progress.total > 0 && progress.done >= progress.total) return text;
    if (progress.bytesPerSecond > 0)
        text += ", " + bytesText(static_cast<std::uint64_t>(progress.bytesPerSecond)) + "/s";
    if (progress.secondsLeft >= 0 && progress.total > 0) text += ", " + durationText(progress.secondsLeft) + " left";
    return text;
}

}  // namespace nimbrel
