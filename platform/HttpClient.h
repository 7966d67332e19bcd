#pragma once
// Our HTTP(S) client, which every transfer of the patcher goes through: one GET at
// a time (HttpClient) or many at once over shared connections (HttpTransfers), the body
// streamed to a callback, status code and Content-Length known before the first
// body byte, progress reports, and a stop flag that ends a transfer within about a second
// even when the server has gone quiet. libcurl stays behind the private part.
//
// Every transfer verifies certificates (trusting what CURL_CA_BUNDLE, SSL_CERT_FILE and
// SSL_CERT_DIR name, as the curl tool does), follows redirects (HTTP and HTTPS only, never from
// HTTPS down to HTTP), accepts gzip and deflate bodies and hands them on decoded, and sends
// the executable's name as user agent. A body that ends before (or runs past) its
// Content-Length is a failure, never a complete download; so is one that runs past the
// request's maxBodyBytes (counted after decoding, so a small compressed reply cannot grow
// without end), and one that trickles in slower than Timeouts' average allows.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace nimbrel {

class HttpClient {
public:
    // Players fetch over hotel Wi-Fi and tethered phones, but a transfer that receives nothing
    // for 20 s is better dropped and tried again than waited for: the downloader's three
    // attempts then still end a run against a silent server well within three minutes.
    struct Timeouts {
        long connectSeconds = 20;
        long lowSpeedBytesPerSecond = 1;
        long lowSpeedSeconds = 20;
        // A server dripping a few bytes a second passes the stall rule above for ever: a transfer
        // that receives fewer than minAverageBytesPerSecond over any averageSeconds window ends
        // as a stall does.
        long minAverageBytesPerSecond = 1024;
        long averageSeconds = 60;
    };

    struct Request {
        std::string url;
        bool reload = false;                         // ask every cache on the way to answer from the origin
        std::string ifNoneMatch;                     // conditional GET: an ETag from an earlier reply
        std::string ifModifiedSince;                 // conditional GET: a Last-Modified from an earlier reply
        std::uint64_t rangeFrom = 0;                 // nonzero: ask only for the bytes from here on
        std::string ifRange;                         // with rangeFrom: the validator the held bytes came with
        std::optional<std::uint64_t> rangeLast;      // ask only for the bytes rangeFrom..rangeLast
        std::uint64_t rangeSuffix = 0;               // nonzero: ask only for the file's last bytes
        const std::atomic<int>* stopFlag = nullptr;  // nonzero ends the transfer
        // The most body bytes (decoded) the caller takes: a head announcing more is refused before
        // its body, and the first byte past it ends the transfer (Result::tooLarge).
        std::optional<std::uint64_t> maxBodyBytes;
    };

    // The final response's head (after redirects).
    struct Response {
        long status = 0;
        std::optional<std::uint64_t> contentLength;
        std::string etag;
        std::string lastModified;
        std::string contentEncoding;              // as sent; the body handed on is decoded
        std::optional<std::uint64_t> rangeStart;  // a 206 reply: where its bytes begin
        std::optional<std::uint64_t> rangeTotal;  // a 206 reply: the whole file's length, when given
        bool encoded() const { return !contentEncoding.empty() && contentEncoding != "identity"; }
    };

    enum class Outcome {
        Complete,     // 2xx and the whole body
        NotModified,  // 304 to a conditional request
        HttpError,    // any other status; no body was delivered
        Stopped,      // the stop flag was seen
        Failed,       // connection, timeout, short or long body, or a callback refused data
    };

    struct Result {
        Outcome outcome = Outcome::Failed;
        Response response;
        std::uint64_t bodyBytes = 0;
        std::string error;   // for the debug output
        std::string reason;  // for the player, short: "HTTP 404", "certificate not trusted"
        // The body ran past maxBodyBytes, or trickled in below the average rate: what arrived is
        // not worth resuming or keeping.
        bool tooLarge = false;
        bool tooSlow = false;
        bool complete() const { return outcome == Outcome::Complete; }
    };

    struct Handlers {
        // Called once, when a 2xx head has arrived and before any body byte (also for an empty
        // body). Returning false ends the transfer as Failed.
        std::function<bool(const Response&)> onResponse;
        // Each piece of the body in order. Returning false ends the transfer as Failed.
        std::function<bool(const char* data, std::size_t size)> onData;
        // After each piece: bytes so far and the announced length.
        std::function<void(std::uint64_t received, std::optional<std::uint64_t> total)> onProgress;
    };

    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Connections stay open between the clients one thread creates one after another, so a run
    // of small files shares one connection. This closes the calling thread's idle ones, for
    // when their server goes away (a test server shutting down would otherwise wait for them).
    static void dropIdleConnections();

    void setTimeouts(const Timeouts& timeouts);
    const Timeouts& timeouts() const;

    [[nodiscard]] Result get(const Request& request, const Handlers& handlers);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Many GETs at once: several connections per host, HTTP/2 multiplexing where the server offers
// it, and every transfer's handlers called on the thread that calls run().
class HttpTransfers {
public:
    explicit HttpTransfers(int connectionsPerHost = 6);
    ~HttpTransfers();
    HttpTransfers(const HttpTransfers&) = delete;
    HttpTransfers& operator=(const HttpTransfers&) = delete;

    // Starts a transfer; request and handlers are copied. The id names it in run()'s results.
    int start(const HttpClient::Request& request, HttpClient::Handlers handlers,
              const HttpClient::Timeouts& timeouts = HttpClient::Timeouts());
    // Moves the transfers on for up to maxWaitMilliseconds (less as soon as one ends) and gives
    // those that ended meanwhile.
    [[nodiscard]] std::vector<std::pair<int, HttpClient::Result>> run(int maxWaitMilliseconds);
    std::size_t running() const;
    // Holds the body bytes of all transfers together to this rate (0: no limit); for transfers
    // started afterwards.
    void limitRate(std::uint64_t bytesPerSecond);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace nimbrel
