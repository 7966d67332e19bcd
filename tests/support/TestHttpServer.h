#pragma once
// A real HTTP server on 127.0.0.1 for tests and benchmarks: listens on a free port from
// construction, answers on a background thread, and is stopped and joined by its destructor.
// It serves canned files by path (replaceable at any time, with ETag / Last-Modified and
// conditional GETs), folders from disk, and the misbehaving replies a patch server or a CDN
// can give: error statuses, bodies without Content-Length, bodies cut short, bodies that
// trickle, a delay before every answer, compressed bodies, redirects, and byte ranges
// (honoured with If-Range, or ignored as some servers do). Every request is logged per path.
//
//   TestHttpServer server;
//   server.setFile("/quorlanpatch/plus_real/version.ini", text);
//   std::string base = server.url("/quorlanpatch/plus_real/");  // "http://127.0.0.1:PORT/..."

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace nimbrel::test {

class TestHttpServer {
public:
    // How the body of a 2xx reply travels.
    enum class Delivery {
        Normal,           // Content-Length, whole body
        NoContentLength,  // no Content-Length, no chunking: the body ends when the server closes
        Chunked,          // Transfer-Encoding: chunked
        Truncated,        // announces the whole length, sends truncateAt bytes, then closes
        Slow,             // Content-Length, then slowChunk bytes every slowInterval
    };

    struct Reply {
        int status = 200;
        std::string content;
        Delivery delivery = Delivery::Normal;
        std::size_t truncateAt = 0;
        std::size_t slowChunk = 64;
        std::chrono::milliseconds slowInterval{50};
        // Validators for 200 replies; a conditional request that still matches gets 304, no body.
        bool sendETag = true;
        bool sendLastModified = true;
        // The first failFirst requests to the path answer failStatus instead (a flaky server).
        int failFirst = 0;
        int failStatus = 503;
        // Extra response headers, e.g. {"Location", "/elsewhere"} with status 302.
        std::vector<std::pair<std::string, std::string>> headers;
        // "gzip" or "deflate": the body travels compressed with that Content-Encoding.
        std::string contentEncoding;
        // Nonzero: the body is content repeated to this many bytes, made as it is sent (far more
        // than memory holds), with Delivery::Normal or NoContentLength; see mostSent().
        std::uint64_t repeatTo = 0;
    };

    // What the server saw and did for one request.
    struct Request {
        std::string method;
        std::string path;
        std::string ifNoneMatch;
        std::string ifModifiedSince;
        std::string userAgent;
        std::string cacheControl;
        std::string pragma;
        std::string range;  // "bytes=N-", "bytes=A-B" or "bytes=-N" as asked
        std::string ifRange;
        std::string acceptEncoding;
        int status = 0;             // status answered
        std::size_t bodyBytes = 0;  // body bytes the reply was to carry (0 for 304 / HEAD)
        std::chrono::steady_clock::time_point receivedAt;
    };

    TestHttpServer();
    // HTTPS with the given PEM certificate and key files.
    TestHttpServer(const std::string& certificatePath, const std::string& keyPath);
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer&) = delete;
    TestHttpServer& operator=(const TestHttpServer&) = delete;

    int port() const;                                // -1 when the server could not start
    std::string baseUrl() const;                     // "http://127.0.0.1:PORT", no trailing "/"
    std::string url(const std::string& path) const;  // baseUrl() + path (path starts with "/")

    // A plain 200 reply with validators. Replacing the content changes both validators: the
    // ETag follows the content, Last-Modified moves forward at least one second.
    void setFile(const std::string& path, std::string content);
    void setReply(const std::string& path, Reply reply);
    void setStatus(const std::string& path, int status, std::string body = std::string());
    void remove(const std::string& path);  // the path answers 404 again
    // Every path below urlPrefix (which ends in "/") is read from folder (which ends in "/").
    void serveFolder(const std::string& urlPrefix, const std::string& folder);
    // A redirect from path to location (absolute, or a path on this server).
    void setRedirect(const std::string& path, const std::string& location, int status = 302);
    // Every answer waits this long first, as a far server would.
    void setDelay(std::chrono::milliseconds delay);
    // Answers Range requests with the whole file (200), as servers without range support do.
    void setIgnoreRanges(bool ignore);

    // A private certificate authority and a certificate it signed for 127.0.0.1, made with the
    // openssl tool in folder (which ends in "/"). Empty paths when openssl failed.
    struct Certificates {
        std::string authority;  // the CA's certificate, PEM
        std::string certificate;
        std::string key;
    };
    static Certificates makeCertificates(const std::string& folder);

    // Counting: requests received (any status), replies that carried a body (2xx with bytes),
    // and the log. An empty path means all paths.
    int requestCount(const std::string& path = std::string()) const;
    int bodyCount(const std::string& path = std::string()) const;
    std::vector<Request> requests(const std::string& path = std::string()) const;
    void clearLog();
    // The most body bytes one reply to path with repeatTo has handed to its connection (the
    // client's socket buffers hold a few MiB of them unread when it hangs up).
    std::uint64_t mostSent(const std::string& path) const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace nimbrel::test
