#include "platform/HttpRangeReader.h"

#include <algorithm>
#include <map>
#include <memory>
#include <thread>
#include <utility>

namespace nimbrel {

namespace {

// The reply a piece is building while its transfer runs.
struct Pending {
    std::size_t index = 0;
    int attempt = 1;
    HttpRangeReader::Reply reply;
};

}  // namespace

HttpRangeReader::HttpRangeReader(int connectionsPerHost, HttpClient::Timeouts timeouts,
                                 const std::atomic<int>* stopFlag, int attempts, Pause pauseBefore)
    : connectionsPerHost_(connectionsPerHost),
      timeouts_(timeouts),
      stopFlag_(stopFlag),
      attempts_(attempts),
      pauseBefore_(std::move(pauseBefore)) {}

HttpRangeReader::Outcome HttpRangeReader::fetch(const std::vector<Piece>& pieces,
                                                const std::function<void(std::size_t, Reply&)>& got) {
    // The states outlive the transfers whose handlers write into them.
    std::map<int, std::unique_ptr<Pending>> running;
    // Failed pieces waiting for their next attempt, each with the time it is due.
    using Clock = std::chrono::steady_clock;
    std::vector<std::pair<Clock::time_point, std::unique_ptr<Pending>>> waiting;
    HttpTransfers transfers(connectionsPerHost_);
    std::size_t next = 0;
    auto startPiece = [&](std::unique_ptr<Pending> pending) {
        const Piece& piece = pieces[pending->index];
        pending->reply = Reply();
        HttpClient::Request request;
        request.url = piece.url;
        request.stopFlag = stopFlag_;
        if (piece.suffix > 0) {
            request.rangeSuffix = piece.suffix;
        } else {
            request.rangeFrom = piece.first;
            request.rangeLast = piece.last;
        }
        Pending* state = pending.get();
        HttpClient::Handlers handlers;
        handlers.onResponse = [state, piece](const HttpClient::Response& response) {
            Reply& reply = state->reply;
            if (response.status == 200) {
                reply.status = Reply::Status::RangesIgnored;
                reply.fileSize = response.contentLength.value_or(0);
                return false;
            }
            // Offsets count the bytes of the file, not of a compressed body.
            if (response.status != 206 || response.encoded() || !response.rangeStart || !response.contentLength) {
                reply.reason = "the server answered a byte range with something else";
                return false;
            }
            reply.offset = *response.rangeStart;
            reply.fileSize = response.rangeTotal.value_or(0);
            const std::uint64_t length = *response.contentLength;
            const bool exact = piece.suffix > 0 ? response.rangeTotal && reply.offset + length == reply.fileSize &&
                                                      (length == piece.suffix || reply.offset == 0)
                                                : reply.offset == piece.first && length == piece.last - piece.first + 1;
            if (!exact) reply.reason = "the server answered another byte range than the one asked for";
            return exact;
        };
        handlers.onData = [this, state](const char* data, std::size_t size) {
            state->reply.bytes.append(data, size);
            received_ += size;
            if (onProgress) onProgress(received_);
            return true;
        };
        const int id = transfers.start(request, handlers, timeouts_);
        running.emplace(id, std::move(pending));
    };
    auto fill = [&] {
        const auto now = Clock::now();
        for (auto it = waiting.begin(); it != waiting.end();) {
            if (it->first > now || running.size() >= static_cast<std::size_t>(connectionsPerHost_)) {
                ++it;
                continue;
            }
            startPiece(std::move(it->second));
            it = waiting.erase(it);
        }
        while (next < pieces.size() && running.size() < static_cast<std::size_t>(connectionsPerHost_)) {
            auto pending = std::make_unique<Pending>();
            pending->index = next++;
            startPiece(std::move(pending));
        }
    };
    fill();
    while (!running.empty() || !waiting.empty()) {
        if (running.empty()) {
            // Only pauses left: wait for the first due, a fifth of a second at a time for the stop flag.
            const auto due = std::min_element(waiting.begin(), waiting.end(),
                                              [](const auto& a, const auto& b) { return a.first < b.first; })
                                 ->first;
            std::this_thread::sleep_until(std::min(due, Clock::now() + std::chrono::milliseconds(200)));
        }
        for (auto& [id, result] : transfers.run(200)) {
            auto it = running.find(id);
            if (it == running.end()) continue;
            std::unique_ptr<Pending> pending = std::move(it->second);
            running.erase(it);
            Reply& reply = pending->reply;
            if (result.outcome == HttpClient::Outcome::Stopped) return Outcome::Stopped;
            if (reply.status == Reply::Status::RangesIgnored) {
                reply.bytes.clear();
                got(pending->index, reply);
                continue;
            }
            if (result.complete() && reply.reason.empty()) {
                reply.status = Reply::Status::Bytes;
                got(pending->index, reply);
                continue;
            }
            if (reply.reason.empty()) reply.reason = result.reason.empty() ? result.error : result.reason;
            // A server that is busy or gone for a moment answers the next attempt; a 4xx stays.
            const long status = result.response.status;
            const bool lasting = result.outcome == HttpClient::Outcome::HttpError && status >= 400 && status < 500;
            if (pending->attempt < attempts_ && !lasting) {
                received_ -= std::min<std::uint64_t>(received_, reply.bytes.size());
                ++pending->attempt;
                const auto pause = pauseBefore_ ? pauseBefore_(pending->attempt) : std::chrono::milliseconds(0);
                waiting.emplace_back(Clock::now() + pause, std::move(pending));
                continue;
            }
            reply.status = Reply::Status::Failed;
            got(pending->index, reply);
        }
        if (stopFlag_ && stopFlag_->load() != 0) return Outcome::Stopped;
        fill();
    }
    return Outcome::Done;
}

}  // namespace nimbrel
