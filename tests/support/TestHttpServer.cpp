#include "tests/support/TestHttpServer.h"

#include "platform/HttpClient.h"
#include "tests/support/ChildProcess.h"

// Debian builds libcpp-httplib with these switches; the declarations must match the library.
#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
#define CPPHTTPLIB_OPENSSL_SUPPORT
#endif
#ifndef CPPHTTPLIB_ZLIB_SUPPORT
#define CPPHTTPLIB_ZLIB_SUPPORT
#endif
#ifndef CPPHTTPLIB_BROTLI_SUPPORT
#define CPPHTTPLIB_BROTLI_SUPPORT
#endif
#include <httplib.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

namespace nimbrel::test {

namespace {

struct Entry {
    TestHttpServer::Reply reply;
    std::string etag;
    std::time_t lastModified = 0;
};

std::string httpDate(std::time_t t) {
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char buffer[64];
    std::strftime(buffer, sizeof buffer, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return buffer;
}

std::time_t parseHttpDate(const std::string& text) {
    std::tm tm{};
    if (!::strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S", &tm)) return -1;
    return ::timegm(&tm);
}

std::string etagOf(const std::string& content) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "\"%zx-%zx\"", std::hash<std::string>{}(content), content.size());
    return buffer;
}

std::string compress(const std::string& data, bool gzip) {
    z_stream stream{};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, gzip ? 31 : 15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, data.size()) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

bool hasDotDot(const std::string& relative) {
    std::stringstream parts(relative);
    std::string part;
    while (std::getline(parts, part, '/'))
        if (part == "..") return true;
    return false;
}

}  // namespace

struct TestHttpServer::State {
    std::unique_ptr<httplib::Server> server;
    bool tls = false;
    std::thread thread;
    int port = -1;
    std::atomic<bool> stopping{false};

    mutable std::mutex mutex;
    std::map<std::string, std::shared_ptr<const Entry>> files;
    std::map<std::string, std::time_t> lastModifiedByPath;     // survives remove(), keeps times moving forward
    std::vector<std::pair<std::string, std::string>> folders;  // url prefix, disk folder
    std::vector<Request> log;
    std::vector<std::pair<std::string, std::shared_ptr<std::atomic<std::uint64_t>>>> sent;  // repeated bodies
    std::atomic<long> delayMs{0};
    std::atomic<bool> ignoreRanges{false};

    std::shared_ptr<const Entry> lookup(const std::string& path) {
        {
            std::lock_guard guard(mutex);
            auto it = files.find(path);
            if (it != files.end()) return it->second;
        }
        std::vector<std::pair<std::string, std::string>> mounts;
        {
            std::lock_guard guard(mutex);
            mounts = folders;
        }
        for (const auto& [prefix, folder] : mounts) {
            if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) continue;
            std::string relative = path.substr(prefix.size());
            if (hasDotDot(relative)) return nullptr;
            std::string full = folder + relative;
            struct stat st {};
            if (::stat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
            std::ifstream in(full, std::ios::binary);
            std::ostringstream content;
            content << in.rdbuf();
            auto entry = std::make_shared<Entry>();
            entry->reply.content = content.str();
            entry->etag = etagOf(entry->reply.content);
            entry->lastModified = st.st_mtime;
            return entry;
        }
        return nullptr;
    }

    // Sleeps in short steps so that the destructor never waits for a trickling reply.
    bool pause(std::chrono::milliseconds total) {
        auto end = std::chrono::steady_clock::now() + total;
        while (std::chrono::steady_clock::now() < end) {
            if (stopping) return false;
            std::this_thread::sleep_for(std::min<std::chrono::milliseconds>(std::chrono::milliseconds(10), total));
        }
        return !stopping;
    }

    void handle(const httplib::Request& req, httplib::Response& res) {
        Request record;
        record.receivedAt = std::chrono::steady_clock::now();
        record.method = req.method;
        record.path = req.path;
        record.ifNoneMatch = req.get_header_value("If-None-Match");
        record.ifModifiedSince = req.get_header_value("If-Modified-Since");
        record.userAgent = req.get_header_value("User-Agent");
        record.cacheControl = req.get_header_value("Cache-Control");
        record.pragma = req.get_header_value("Pragma");
        record.range = req.get_header_value("Range");
        record.ifRange = req.get_header_value("If-Range");
        record.acceptEncoding = req.get_header_value("Accept-Encoding");
        // Ranges are answered below, the way each reply asks; httplib must not cut them again.
        const_cast<httplib::Request&>(req).ranges.clear();
        if (delayMs > 0 && !pause(std::chrono::milliseconds(delayMs.load()))) return;

        std::shared_ptr<const Entry> entry = lookup(req.path);
        int earlier = 0;
        {
            std::lock_guard guard(mutex);
            earlier = static_cast<int>(
                std::count_if(log.begin(), log.end(), [&](const Request& r) { return r.path == req.path; }));
        }
        if (entry && earlier < entry->reply.failFirst) {
            res.status = entry->reply.failStatus;
            res.set_content("failing on purpose", "text/plain");
        } else if (!entry) {
            res.status = 404;
            res.set_content("not found", "text/plain");
        } else {
            respond(*entry, record, req, res);
        }
        record.status = res.status;
        std::lock_guard guard(mutex);
        log.push_back(std::move(record));
    }

    // content over and over, cut at reply.repeatTo, sent from a block of whole repetitions.
    void repeat(const std::string& content, const Reply& reply, Request& record, const std::string& path,
                httplib::Response& res) {
        auto block = std::make_shared<std::string>();
        while (block->size() < 64 * 1024) *block += content;
        auto sentBytes = std::make_shared<std::atomic<std::uint64_t>>(0);
        {
            std::lock_guard guard(mutex);
            sent.emplace_back(path, sentBytes);
        }
        const std::uint64_t total = reply.repeatTo;
        record.bodyBytes = static_cast<std::size_t>(total);
        auto provide = [block, sentBytes, total](std::uint64_t offset, httplib::DataSink& sink) {
            const std::size_t at = static_cast<std::size_t>(offset % block->size());
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(block->size() - at, total - offset));
            if (!sink.write(block->data() + at, n)) return false;
            *sentBytes += n;
            return true;
        };
        if (reply.delivery == Delivery::NoContentLength)
            res.set_content_provider("application/octet-stream",
                                     [provide, total](size_t offset, httplib::DataSink& sink) {
                                         if (offset >= total) {
                                             sink.done();
                                             return true;
                                         }
                                         return provide(offset, sink);
                                     });
        else
            res.set_content_provider(static_cast<size_t>(total), "application/octet-stream",
                                     [provide](size_t offset, size_t, httplib::DataSink& sink) {
                                         return provide(offset, sink);
                                     });
    }

    void respond(const Entry& entry, Request& record, const httplib::Request& req, httplib::Response& res) {
        const Reply& reply = entry.reply;
        res.status = reply.status;
        for (const auto& [name, value] : reply.headers) res.set_header(name, value);
        if (reply.status == 200) {
            if (reply.sendETag) res.set_header("ETag", entry.etag);
            if (reply.sendLastModified) res.set_header("Last-Modified", httpDate(entry.lastModified));
            bool notModified = false;
            if (req.has_header("If-None-Match")) {
                std::string tags = req.get_header_value("If-None-Match");
                notModified = reply.sendETag && (tags == "*" || tags.find(entry.etag) != std::string::npos);
            } else if (req.has_header("If-Modified-Since") && reply.sendLastModified) {
                std::time_t since = parseHttpDate(req.get_header_value("If-Modified-Since"));
                notModified = since >= 0 && entry.lastModified <= since;
            }
            if (notModified) {
                res.status = 304;
                return;
            }
        }
        if (req.method == "HEAD") {
            res.set_content(reply.content, "application/octet-stream");
            return;
        }

        // The providers hold their own reference: the entry may be replaced while a body is sent.
        auto content = std::make_shared<const std::string>(reply.content);
        const std::string type = "application/octet-stream";
        if (!reply.contentEncoding.empty()) {
            content = std::make_shared<const std::string>(compress(reply.content, reply.contentEncoding == "gzip"));
            res.set_header("Content-Encoding", reply.contentEncoding);
        } else if (reply.status == 200 && !ignoreRanges && req.has_header("Range")) {
            // One range: "bytes=N-" (a resuming client), "bytes=A-B" (a span) or "bytes=-N" (a
            // file's tail); If-Range must name the current validator, or the whole file comes back.
            std::string range = req.get_header_value("Range");
            std::string ifRange = req.get_header_value("If-Range");
            bool current = ifRange.empty() || ifRange == entry.etag || ifRange == httpDate(entry.lastModified);
            const std::size_t dash = range.find('-');
            if (current && range.starts_with("bytes=") && dash != std::string::npos &&
                range.find(',') == std::string::npos) {
                const std::size_t size = content->size();
                std::size_t from = std::strtoull(range.c_str() + 6, nullptr, 10);
                std::size_t last =
                    dash + 1 < range.size() ? std::strtoull(range.c_str() + dash + 1, nullptr, 10) : size - 1;
                if (dash == 6) {  // the last N bytes
                    from = size - std::min(last, size);
                    last = size - 1;
                }
                last = std::min(last, size - 1);
                if (from >= size || last < from) {
                    res.status = 416;
                    res.set_header("Content-Range", "bytes */" + std::to_string(size));
                    return;
                }
                res.status = 206;
                res.set_header("Content-Range", "bytes " + std::to_string(from) + "-" + std::to_string(last) + "/" +
                                                    std::to_string(size));
                content = std::make_shared<const std::string>(content->substr(from, last - from + 1));
            }
        }
        // httplib takes a provider of length 0 for one of unknown length and would never end it.
        if (content->empty() && reply.delivery != Delivery::NoContentLength && reply.delivery != Delivery::Chunked) {
            res.set_content("", type);
            return;
        }
        if (reply.repeatTo > 0 && !content->empty()) {
            repeat(*content, reply, record, req.path, res);
            return;
        }
        switch (reply.delivery) {
            case Delivery::Normal:
                record.bodyBytes = content->size();
                res.set_content_provider(content->size(), type,
                                         [content](size_t offset, size_t length, httplib::DataSink& sink) {
                                             size_t n = std::min<size_t>(length, 256 * 1024);
                                             return sink.write(content->data() + offset, n);
                                         });
                break;
            case Delivery::NoContentLength:
            case Delivery::Chunked: {
                record.bodyBytes = content->size();
                auto provider = [content](size_t offset, httplib::DataSink& sink) {
                    size_t n = std::min<size_t>(content->size() - std::min(offset, content->size()), 64 * 1024);
                    if (n > 0 && !sink.write(content->data() + offset, n)) return false;
                    if (offset + n >= content->size()) sink.done();
                    return true;
                };
                if (reply.delivery == Delivery::Chunked)
                    res.set_chunked_content_provider(type, provider);
                else
                    res.set_content_provider(type, provider);
                break;
            }
            case Delivery::Truncated: {
                size_t cut = std::min(reply.truncateAt, content->size());
                record.bodyBytes = cut;
                res.set_content_provider(content->size(), type,
                                         [content, cut](size_t offset, size_t, httplib::DataSink& sink) {
                                             if (offset < cut) sink.write(content->data() + offset, cut - offset);
                                             return false;  // abandons the reply: the connection closes
                                         });
                break;
            }
            case Delivery::Slow: {
                record.bodyBytes = content->size();
                size_t chunk = std::max<size_t>(1, reply.slowChunk);
                auto interval = reply.slowInterval;
                res.set_content_provider(
                    content->size(), type,
                    [this, content, chunk, interval](size_t offset, size_t length, httplib::DataSink& sink) {
                        if (offset > 0 && !pause(interval)) return false;
                        size_t n = std::min(chunk, length);
                        return sink.write(content->data() + offset, n);
                    });
                break;
            }
        }
    }
};

TestHttpServer::TestHttpServer() : TestHttpServer(std::string(), std::string()) {}

TestHttpServer::TestHttpServer(const std::string& certificatePath, const std::string& keyPath)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.tls = !certificatePath.empty();
    if (s.tls)
        s.server = std::make_unique<httplib::SSLServer>(certificatePath.c_str(), keyPath.c_str());
    else
        s.server = std::make_unique<httplib::Server>();
    if (!s.server->is_valid()) return;
    // Short keep-alive so that the destructor does not wait long for an idle client connection.
    s.server->set_keep_alive_timeout(1);
    s.server->set_keep_alive_max_count(1000);
    // A reply's head and body go out in separate writes; without this, Nagle's algorithm
    // holds the body back for the client's delayed acknowledgement on every request.
    s.server->set_tcp_nodelay(true);
    s.server->Get(".*", [&s](const httplib::Request& req, httplib::Response& res) { s.handle(req, res); });
    s.port = s.server->bind_to_any_port("127.0.0.1");
    if (s.port <= 0) return;
    s.thread = std::thread([&s] { s.server->listen_after_bind(); });
    // stop() is a no-op until the loop runs; wait for it so that the destructor can always end it.
    for (int i = 0; i < 5000 && !s.server->is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TestHttpServer::~TestHttpServer() {
    // A connection our client keeps open would hold a server thread for its keep-alive time.
    HttpClient::dropIdleConnections();
    state_->stopping = true;
    state_->server->stop();
    if (state_->thread.joinable()) state_->thread.join();
}

int TestHttpServer::port() const { return state_->port; }

std::string TestHttpServer::baseUrl() const {
    return (state_->tls ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(state_->port);
}

std::string TestHttpServer::url(const std::string& path) const { return baseUrl() + path; }

void TestHttpServer::setFile(const std::string& path, std::string content) {
    Reply reply;
    reply.content = std::move(content);
    setReply(path, std::move(reply));
}

void TestHttpServer::setReply(const std::string& path, Reply reply) {
    auto entry = std::make_shared<Entry>();
    entry->etag = etagOf(reply.content);
    entry->reply = std::move(reply);
    std::lock_guard guard(state_->mutex);
    std::time_t now = std::time(nullptr);
    auto previous = state_->lastModifiedByPath.find(path);
    entry->lastModified = previous == state_->lastModifiedByPath.end() ? now : std::max(now, previous->second + 1);
    state_->lastModifiedByPath[path] = entry->lastModified;
    state_->files[path] = std::move(entry);
}

void TestHttpServer::setStatus(const std::string& path, int status, std::string body) {
    Reply reply;
    reply.status = status;
    reply.content = std::move(body);
    setReply(path, std::move(reply));
}

void TestHttpServer::setRedirect(const std::string& path, const std::string& location, int status) {
    Reply reply;
    reply.status = status;
    reply.headers.emplace_back("Location", location);
    setReply(path, std::move(reply));
}

void TestHttpServer::setDelay(std::chrono::milliseconds delay) { state_->delayMs = delay.count(); }

void TestHttpServer::setIgnoreRanges(bool ignore) { state_->ignoreRanges = ignore; }

TestHttpServer::Certificates TestHttpServer::makeCertificates(const std::string& folder) {
    Certificates made{folder + "ca.pem", folder + "server.pem", folder + "server.key"};
    std::ofstream(folder + "ext.cnf") << "subjectAltName=IP:127.0.0.1\n";
    const std::vector<std::vector<std::string>> steps{
        {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=QuorlanTestCA", "-keyout",
         folder + "ca.key", "-out", made.authority},
        {"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout", made.key, "-out",
         folder + "server.csr"},
        {"x509", "-req", "-in", folder + "server.csr", "-CA", made.authority, "-CAkey", folder + "ca.key",
         "-CAcreateserial", "-days", "2", "-extfile", folder + "ext.cnf", "-out", made.certificate}};
    for (const auto& step : steps) {
        std::vector<std::string> argv{"/usr/bin/openssl"};
        argv.insert(argv.end(), step.begin(), step.end());
        if (ChildProcess::run(argv, ChildProcess::collectOutput()).exitCode != 0) return {};
    }
    return made;
}

void TestHttpServer::remove(const std::string& path) {
    std::lock_guard guard(state_->mutex);
    state_->files.erase(path);
}

void TestHttpServer::serveFolder(const std::string& urlPrefix, const std::string& folder) {
    std::lock_guard guard(state_->mutex);
    state_->folders.emplace_back(urlPrefix, folder);
}

int TestHttpServer::requestCount(const std::string& path) const {
    std::lock_guard guard(state_->mutex);
    return static_cast<int>(std::count_if(state_->log.begin(), state_->log.end(),
                                          [&](const Request& r) { return path.empty() || r.path == path; }));
}

int TestHttpServer::bodyCount(const std::string& path) const {
    std::lock_guard guard(state_->mutex);
    return static_cast<int>(std::count_if(state_->log.begin(), state_->log.end(), [&](const Request& r) {
        return (path.empty() || r.path == path) && r.status >= 200 && r.status < 300 && r.bodyBytes > 0;
    }));
}

std::vector<TestHttpServer::Request> TestHttpServer::requests(const std::string& path) const {
    std::lock_guard guard(state_->mutex);
    std::vector<Request> result;
    for (const auto& r : state_->log)
        if (path.empty() || r.path == path) result.push_back(r);
    return result;
}

std::uint64_t TestHttpServer::mostSent(const std::string& path) const {
    std::lock_guard guard(state_->mutex);
    std::uint64_t most = 0;
    for (const auto& [sentPath, bytes] : state_->sent)
        if (sentPath == path) most = std::max<std::uint64_t>(most, *bytes);
    return most;
}

void TestHttpServer::clearLog() {
    std::lock_guard guard(state_->mutex);
    state_->log.clear();
}

}  // namespace nimbrel::test
