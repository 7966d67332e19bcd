#pragma once
// Our HTTP(S) client, the stand-in for the original platform's internet session: one GET at
// a time, the body streamed to a callback or a file, status code and Content-Length known
// before the first body byte, progress reports, and a stop flag that ends a transfer within
// about a second even when the server has gone quiet. libcurl stays behind the private part.
//
// Every transfer verifies certificates, follows redirects (HTTP and HTTPS only), and sends the
// executable's name as user agent. A body that ends before (or runs past) its Content-Length
// is a failure, never a complete download.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace nimbrel {

class HttpClient {
public:
    // Generous on purpose: players fetch over hotel Wi-Fi and tethered phones. A server that
    // accepts nothing for 30 s, or delivers less than 1 byte/s for 60 s, ends the attempt.
    struct Timeouts {
        long connectSeconds = 30;
        long lowSpeedBytesPerSecond = 1;
        long lowSpeedSeconds = 60;
    };

    struct Request {
        std::string url;
        bool reload = false;                         // ask every cache on the way to answer from the origin
        std::string ifNoneMatch;                     // conditional GET: an ETag from an earlier reply
        std::string ifModifiedSince;                 // conditional GET: a Last-Modified from an earlier reply
        const std::atomic<int>* stopFlag = nullptr;  // nonzero ends the transfer
    };

    // The final response's head (after redirects).
    struct Response {
        long status = 0;
        std::optional<std::uint64_t> contentLength;
        std::string etag;
        std::string lastModified;
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
        std::string error;  // for the debug output
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

    // Streams the body into path (created or truncated once the 2xx head is in, its data on
    // the disk before returning Complete). On any other outcome the file may hold a partial
    // body; the caller decides whether to keep it. onWritten sees each piece once it is written.
    [[nodiscard]] Result getToFile(const Request& request, const std::string& path,
                                   std::function<void(std::uint64_t, std::optional<std::uint64_t>)> onProgress = {},
                                   std::function<void(const char*, std::size_t)> onWritten = {});

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace nimbrel
