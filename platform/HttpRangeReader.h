#pragma once
// Byte ranges of files on an HTTP server, many at once over HttpTransfers: "Range: bytes=A-B"
// for a span, "bytes=-N" for a file's last bytes. A 206 reply must hold exactly the bytes
// asked for (its Content-Range is checked, and its length); a 200 reply is a server that does
// not answer ranges, and is cut off at once: the caller fetches the whole file instead. A piece
// that fails is asked for again after the pause the caller gives (none by default), up to the
// given attempts, unless the server answered it with a 4xx; other pieces go on meanwhile.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/HttpClient.h"

namespace nimbrel {

class HttpRangeReader {
public:
    struct Piece {
        std::string url;
        std::uint64_t first = 0;  // with last: the bytes first..last
        std::uint64_t last = 0;
        std::uint64_t suffix = 0;  // nonzero: the file's last `suffix` bytes instead
    };
    struct Reply {
        enum class Status { Bytes, RangesIgnored, Failed };
        Status status = Status::Failed;
        std::string bytes;
        std::uint64_t offset = 0;    // where bytes begin in the file
        std::uint64_t fileSize = 0;  // the whole file's length, when the server told it
        std::string reason;          // Failed: why, for the player ("HTTP 404")
    };
    enum class Outcome { Done, Stopped };

    // pauseBefore(attempt): how long a failed piece waits before attempt 2, 3, ...
    using Pause = std::function<std::chrono::milliseconds(int attempt)>;
    HttpRangeReader(int connectionsPerHost, HttpClient::Timeouts timeouts, const std::atomic<int>* stopFlag,
                    int attempts, Pause pauseBefore = nullptr);

    // Every piece, several at once; got(index, reply) hears each piece's end, on this thread.
    // Stopped when the stop flag was seen (pieces not heard of then were not fetched).
    [[nodiscard]] Outcome fetch(const std::vector<Piece>& pieces,
                                const std::function<void(std::size_t index, Reply& reply)>& got);

    // Body bytes received so far, over every piece; called after each arriving piece of a body.
    std::function<void(std::uint64_t received)> onProgress;

private:
    int connectionsPerHost_;
    HttpClient::Timeouts timeouts_;
    const std::atomic<int>* stopFlag_;
    int attempts_;
    Pause pauseBefore_;
    std::uint64_t received_ = 0;
};

}  // namespace nimbrel
