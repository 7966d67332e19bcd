#include "platform/HttpClient.h"

#include <curl/curl.h>
#include <dlfcn.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <list>
#include <optional>
#include <string>
#include <type_traits>

#include "platform/ExecutablePath.h"
#include "platform/TokenBucket.h"

namespace nimbrel {

namespace {

// libcurl and the libraries behind it (two TLS stacks, Kerberos, LDAP, SSH) take about 8 ms to
// load and bind on every start: a tenth of an offline patch run, and nearly all of the start of
// nimbrel-cli. They are loaded by the first transfer instead, so runs that fetch nothing never
// pay for them. The name is the one the build links against (libcurl4-openssl-dev).
constexpr const char* kCurlLibrary = "libcurl.so.4";

// Every libcurl function we call, named once: the table's members and their lookups are made
// from this list.
// clang-format off
#define NIMBREL_CURL_FUNCTIONS(X)                                                                  \
    X(global_init) X(easy_init) X(easy_cleanup) X(easy_reset) X(easy_setopt) X(easy_getinfo)      \
    X(easy_perform) X(easy_strerror) X(slist_append) X(slist_free_all) X(multi_init)              \
    X(multi_cleanup) X(multi_setopt) X(multi_add_handle) X(multi_remove_handle) X(multi_perform)  \
    X(multi_poll) X(multi_info_read) X(easy_pause)
// clang-format on

struct CurlApi {
#define NIMBREL_CURL_MEMBER(name) decltype(&::curl_##name) name = nullptr;
    NIMBREL_CURL_FUNCTIONS(NIMBREL_CURL_MEMBER)
#undef NIMBREL_CURL_MEMBER
    std::string loadError;  // empty once every function was found
};

const CurlApi& libcurl() {
    // Never unloaded, and never cleaned up: other threads may still hold handles while the
    // process ends.
    static const CurlApi api = [] {
        CurlApi api;
        void* library = ::dlopen(kCurlLibrary, RTLD_NOW | RTLD_LOCAL);
        if (!library) {
            const char* why = ::dlerror();
            api.loadError = std::string("cannot load ") + kCurlLibrary + (why ? std::string(": ") + why : "");
            return api;
        }
        auto resolve = [&](auto& function, const char* name) {
            function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(::dlsym(library, name));
            if (!function && api.loadError.empty()) api.loadError = std::string(kCurlLibrary) + " lacks " + name;
        };
#define NIMBREL_CURL_RESOLVE(name) resolve(api.name, "curl_" #name);
        NIMBREL_CURL_FUNCTIONS(NIMBREL_CURL_RESOLVE)
#undef NIMBREL_CURL_RESOLVE
        if (api.loadError.empty() && api.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
            api.loadError = std::string("cannot initialise ") + kCurlLibrary;
        return api;
    }();
    return api;
}

bool curlLoaded() { return libcurl().loadError.empty(); }

struct EasyDeleter {
    void operator()(CURL* handle) const { libcurl().easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;

struct SlistDeleter {
    void operator()(curl_slist* list) const { libcurl().slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

// One idle handle per thread keeps its connection and DNS caches alive between the clients the
// downloader creates one after another, so 200 small files reuse one connection. Handles are
// never shared between threads while in use.
thread_local EasyHandle idleHandle;

struct MultiDeleter {
    void operator()(CURLM* multi) const { libcurl().multi_cleanup(multi); }
};
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;
// Likewise the connections of one batch of transfers stay open for the next files the same
// thread fetches (the patch list, then the archives).
thread_local MultiHandle idleMulti;

EasyHandle takeHandle() {
    if (!curlLoaded()) return nullptr;
    if (idleHandle) return std::move(idleHandle);
    return EasyHandle(libcurl().easy_init());
}

void returnHandle(EasyHandle handle) {
    if (handle && !idleHandle) idleHandle = std::move(handle);
}

std::string trim(std::string_view text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
    while (end > begin &&
           (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r' || text[end - 1] == '\n'))
        --end;
    return std::string(text.substr(begin, end - begin));
}

// What a player is told about a failed transfer: the kind of fault, not libcurl's wording.
std::string reasonFor(CURLcode code, const std::string& url) {
    switch (code) {
        case CURLE_COULDNT_CONNECT:
            return "connection refused";
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return "server not found";
        case CURLE_OPERATION_TIMEDOUT:
            return "timed out";
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
            return "certificate not trusted";
        case CURLE_SSL_CONNECT_ERROR:
            return "secure connection failed";
        case CURLE_UNSUPPORTED_PROTOCOL:
            // The first URL is always http or https; only a redirect can lead elsewhere.
            return url.starts_with("https:") ? "redirect from HTTPS to HTTP refused" : "redirect refused";
        case CURLE_TOO_MANY_REDIRECTS:
            return "too many redirects";
        case CURLE_PARTIAL_FILE:
        case CURLE_GOT_NOTHING:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
            return "connection closed by the server";
        case CURLE_BAD_CONTENT_ENCODING:
            return "damaged compressed body";
        default:
            return libcurl().easy_strerror(code);
    }
}

// Trusts what the curl tool would trust: a bundle named by CURL_CA_BUNDLE, else SSL_CERT_FILE,
// and a hashed folder named by SSL_CERT_DIR; otherwise the system's store libcurl was built with.
void applyTrustedAuthorities(CURL* c) {
    const char* bundle = std::getenv("CURL_CA_BUNDLE");
    if (!bundle || !*bundle) bundle = std::getenv("SSL_CERT_FILE");
    if (bundle && *bundle) libcurl().easy_setopt(c, CURLOPT_CAINFO, bundle);
    if (const char* folder = std::getenv("SSL_CERT_DIR"); folder && *folder)
        libcurl().easy_setopt(c, CURLOPT_CAPATH, folder);
}

// "bytes 100-199/1000" or "bytes 100-199/*".
void parseContentRange(std::string_view value, HttpClient::Response& response) {
    if (!value.starts_with("bytes ")) return;
    value.remove_prefix(6);
    char* end = nullptr;
    std::string text(value);
    unsigned long long first = std::strtoull(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '-') return;
    response.rangeStart = first;
    size_t slash = text.find('/');
    if (slash != std::string::npos && slash + 1 < text.size() && text[slash + 1] != '*')
        response.rangeTotal = std::strtoull(text.c_str() + slash + 1, nullptr, 10);
}

}  // namespace

struct HttpClient::Impl {
    EasyHandle handle;
    Timeouts timeouts;

    // State of the transfer under way, reached from the C callbacks.
    Request request;
    Handlers handlers;
    Response response;
    HeaderList headers;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    bool headDone = false;
    bool httpError = false;
    bool refused = false;
    bool stopped = false;
    bool oversized = false;  // the body ran past request.maxBodyBytes
    bool tooSlow = false;    // it averaged under timeouts.minAverageBytesPerSecond
    std::uint64_t bodyBytes = 0;
    // The window the average rate is measured over: when it began, and the bytes received then.
    std::optional<std::chrono::steady_clock::time_point> windowStart;
    curl_off_t windowBytes = 0;
    // Under a rate limit: the bucket all transfers share, and whether this one waits for it.
    TokenBucket* bucket = nullptr;
    bool paused = false;

    explicit Impl(EasyHandle h) : handle(std::move(h)) {}

    bool stopWanted() {
        if (request.stopFlag && request.stopFlag->load() != 0) stopped = true;
        return stopped;
    }

    // The head of the final response is complete once the first body byte (or the end of an
    // empty body) arrives; earlier heads belong to redirects.
    bool finishHead() {
        if (headDone) return !httpError && !refused;
        headDone = true;
        long status = 0;
        libcurl().easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &status);
        response.status = status;
        curl_off_t length = -1;
        libcurl().easy_getinfo(handle.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        if (length >= 0) response.contentLength = static_cast<std::uint64_t>(length);
        if (status < 200 || status > 299) {
            httpError = true;
            return false;
        }
        // A range we did not ask for, or one starting elsewhere, would splice foreign bytes in.
        const bool bounded = request.rangeLast || request.rangeSuffix > 0;
        if (status == 206 && ((request.rangeFrom == 0 && !bounded) ||
                              (request.rangeSuffix == 0 && response.rangeStart != request.rangeFrom))) {
            refused = true;
            return false;
        }
        if (request.maxBodyBytes && !response.encoded() && response.contentLength &&
            *response.contentLength > *request.maxBodyBytes) {
            refused = oversized = true;
            return false;
        }
        if (handlers.onResponse && !handlers.onResponse(response)) {
            refused = true;
            return false;
        }
        return true;
    }

    // Called about once a second with the bytes received so far (on the wire): true once a
    // whole window has passed with too few of them.
    bool averageTooSlow(curl_off_t received) {
        const auto now = std::chrono::steady_clock::now();
        if (!windowStart || timeouts.averageSeconds <= 0) {
            if (!windowStart) windowStart = now;
            windowBytes = received;
            return false;
        }
        if (now - *windowStart < std::chrono::seconds(timeouts.averageSeconds)) return false;
        const curl_off_t got = received >= windowBytes ? received - windowBytes : received;  // a redirect restarts
        if (got < static_cast<curl_off_t>(timeouts.minAverageBytesPerSecond) * timeouts.averageSeconds) {
            tooSlow = true;
            return true;
        }
        windowStart = now;
        windowBytes = received;
        return false;
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* self) {
        auto* impl = static_cast<Impl*>(self);
        std::string_view line(data, size * count);
        if (line.starts_with("HTTP/")) {
            impl->response = Response();  // a new response after a redirect or "100 Continue"
        } else if (size_t colon = line.find(':'); colon != std::string_view::npos) {
            std::string name = trim(line.substr(0, colon));
            std::string value = trim(line.substr(colon + 1));
            if (strcasecmp(name.c_str(), "ETag") == 0)
                impl->response.etag = value;
            else if (strcasecmp(name.c_str(), "Last-Modified") == 0)
                impl->response.lastModified = value;
            else if (strcasecmp(name.c_str(), "Content-Encoding") == 0)
                impl->response.contentEncoding = value;
            else if (strcasecmp(name.c_str(), "Content-Range") == 0)
                parseContentRange(value, impl->response);
        }
        return size * count;
    }

    static size_t onWrite(char* data, size_t size, size_t count, void* self) {
        auto* impl = static_cast<Impl*>(self);
        size_t bytes = size * count;
        if (impl->stopWanted() || !impl->finishHead()) return CURL_WRITEFUNC_ERROR;
        if (impl->bucket && !impl->takeTokens(bytes)) return CURL_WRITEFUNC_PAUSE;
        impl->bodyBytes += bytes;
        if (impl->request.maxBodyBytes && impl->bodyBytes > *impl->request.maxBodyBytes) {
            impl->refused = impl->oversized = true;
            return CURL_WRITEFUNC_ERROR;
        }
        // A body running past its announced length is not the file the head described. A
        // compressed body's length counts the bytes on the wire, which libcurl checks itself.
        if (!impl->response.encoded() && impl->response.contentLength &&
            impl->bodyBytes > *impl->response.contentLength) {
            impl->refused = true;
            return CURL_WRITEFUNC_ERROR;
        }
        if (impl->handlers.onData && !impl->handlers.onData(data, bytes)) {
            impl->refused = true;
            return CURL_WRITEFUNC_ERROR;
        }
        if (impl->handlers.onProgress)
            impl->handlers.onProgress(impl->bodyBytes,
                                      impl->response.encoded() ? std::nullopt : impl->response.contentLength);
        return bytes;
    }

    // False, pausing the transfer, when the shared bucket is empty: libcurl keeps the piece and
    // hands it over again once run() lets the transfer go on.
    bool takeTokens(std::size_t bytes) {
        const auto now = TokenBucket::Clock::now();
        if (!bucket->mayTake(now)) {
            paused = true;
            return false;
        }
        bucket->take(bytes, now);
        return true;
    }

    // libcurl calls this about once a second even while nothing arrives: that is what makes a
    // stop request end a stalled transfer promptly, and a dripping one end at all.
    static int onTransferInfo(void* self, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
        auto* impl = static_cast<Impl*>(self);
        return impl->stopWanted() || impl->averageTooSlow(received) ? 1 : 0;
    }

    void addHeader(const std::string& line) {
        curl_slist* grown = libcurl().slist_append(headers.get(), line.c_str());
        if (grown) {
            headers.release();
            headers.reset(grown);
        }
    }

    // Sets the handle up for req; false when it cannot run at all.
    bool prepare(const Request& req, const Handlers& h) {
        request = req;
        handlers = h;
        response = Response();
        headers.reset();
        errorBuffer[0] = '\0';
        headDone = httpError = refused = stopped = oversized = tooSlow = false;
        bodyBytes = 0;
        windowStart.reset();
        windowBytes = 0;
        if (!handle) return false;

        CURL* c = handle.get();
        libcurl().easy_reset(c);
        static const std::string userAgent = ExecutablePath::name();
        if (req.reload) {
            addHeader("Cache-Control: no-cache");
            addHeader("Pragma: no-cache");
        }
        if (!req.ifNoneMatch.empty()) addHeader("If-None-Match: " + req.ifNoneMatch);
        if (!req.ifModifiedSince.empty()) addHeader("If-Modified-Since: " + req.ifModifiedSince);
        if (req.rangeSuffix > 0) {
            addHeader("Range: bytes=-" + std::to_string(req.rangeSuffix));
        } else if (req.rangeLast) {
            addHeader("Range: bytes=" + std::to_string(req.rangeFrom) + "-" + std::to_string(*req.rangeLast));
        } else if (req.rangeFrom > 0) {
            // Set by hand rather than as a libcurl resume: a server that ignores the range then
            // sends the whole file in the same reply, which restarts the file without a request.
            addHeader("Range: bytes=" + std::to_string(req.rangeFrom) + "-");
            if (!req.ifRange.empty()) addHeader("If-Range: " + req.ifRange);
        }

        libcurl().easy_setopt(c, CURLOPT_URL, req.url.c_str());
        libcurl().easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer);
        libcurl().easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        libcurl().easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
        // Once on HTTPS, a redirect must not hand the file over to anyone on the path.
        libcurl().easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, req.url.starts_with("https:") ? "https" : "http,https");
        libcurl().easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
        libcurl().easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
        libcurl().easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
        libcurl().easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
        applyTrustedAuthorities(c);
        libcurl().easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
        libcurl().easy_setopt(c, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
        libcurl().easy_setopt(c, CURLOPT_PIPEWAIT, 1L);
        libcurl().easy_setopt(c, CURLOPT_USERAGENT, userAgent.c_str());
        libcurl().easy_setopt(c, CURLOPT_CONNECTTIMEOUT, timeouts.connectSeconds);
        libcurl().easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, timeouts.lowSpeedBytesPerSecond);
        libcurl().easy_setopt(c, CURLOPT_LOW_SPEED_TIME, timeouts.lowSpeedSeconds);
        libcurl().easy_setopt(c, CURLOPT_TCP_KEEPALIVE, 1L);
        // Bodies arrive in pieces of up to this size, each one call and one write: 512 KiB (the
        // largest libcurl takes before 7.88) received the 10 MiB archives of the benchmark
        // 5-15% faster than 128 KiB, at 3 MiB for six transfers.
        libcurl().easy_setopt(c, CURLOPT_BUFFERSIZE, 512L * 1024L);
        if (headers) libcurl().easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
        libcurl().easy_setopt(c, CURLOPT_HEADERFUNCTION, &Impl::onHeader);
        libcurl().easy_setopt(c, CURLOPT_HEADERDATA, this);
        libcurl().easy_setopt(c, CURLOPT_WRITEFUNCTION, &Impl::onWrite);
        libcurl().easy_setopt(c, CURLOPT_WRITEDATA, this);
        libcurl().easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &Impl::onTransferInfo);
        libcurl().easy_setopt(c, CURLOPT_XFERINFODATA, this);
        libcurl().easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
        return true;
    }

    Result conclude(CURLcode code) {
        CURL* c = handle.get();
        Result result;
        result.bodyBytes = bodyBytes;
        if (stopped || (code == CURLE_ABORTED_BY_CALLBACK && stopWanted())) {
            result.outcome = Outcome::Stopped;
            result.reason = "stopped";
        } else if (code == CURLE_OK) {
            long status = 0;
            libcurl().easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
            if (status == 304) {
                response.status = status;
                result.outcome = Outcome::NotModified;
            } else if (!finishHead()) {
                result.outcome = httpError ? Outcome::HttpError : Outcome::Failed;
                if (refused) result.error = result.reason = "the reply did not fit the request";
            } else if (!response.encoded() && response.contentLength && bodyBytes != *response.contentLength) {
                result.error = "body length " + std::to_string(bodyBytes) + " differs from Content-Length " +
                               std::to_string(*response.contentLength);
                result.reason = "transfer cut short";
            } else {
                result.outcome = Outcome::Complete;
            }
        } else if (httpError) {
            result.outcome = Outcome::HttpError;
        } else {
            result.error = errorBuffer[0] ? std::string(errorBuffer) : std::string(libcurl().easy_strerror(code));
            result.reason = reasonFor(code, request.url);
            if (refused) result.error = result.reason = "the reply did not fit the request";
        }
        if (result.outcome != Outcome::Stopped && (oversized || tooSlow)) describeBrokenBound(result);
        if (result.outcome == Outcome::HttpError) {
            result.error = "HTTP status " + std::to_string(response.status);
            result.reason = "HTTP " + std::to_string(response.status);
        }
        result.response = response;
        // The buffer and the header list may go before the handle; it must not point at them.
        libcurl().easy_setopt(c, CURLOPT_ERRORBUFFER, nullptr);
        libcurl().easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);
        headers.reset();
        handlers = Handlers();
        return result;
    }

    void describeBrokenBound(Result& result) const {
        result.outcome = Outcome::Failed;
        result.tooLarge = oversized;
        result.tooSlow = !oversized;
        if (oversized) {
            result.error = "the body runs past the " + std::to_string(*request.maxBodyBytes) + " bytes expected";
            result.reason = "larger than expected";
        } else {
            result.error = "fewer than " + std::to_string(timeouts.minAverageBytesPerSecond) + " bytes a second over " +
                           std::to_string(timeouts.averageSeconds) + " s";
            result.reason = "timed out";  // as a stall: to the player, the server is too slow either way
        }
    }

    Result perform(const Request& req, const Handlers& h) {
        if (!prepare(req, h)) {
            Result result;
            result.error = result.reason = curlLoaded() ? "cannot create an HTTP handle" : libcurl().loadError;
            return result;
        }
        if (stopWanted()) {
            Result result;
            result.outcome = Outcome::Stopped;
            return result;
        }
        return conclude(libcurl().easy_perform(handle.get()));
    }
};

HttpClient::HttpClient() : impl_(std::make_unique<Impl>(takeHandle())) {}

HttpClient::~HttpClient() { returnHandle(std::move(impl_->handle)); }

void HttpClient::dropIdleConnections() {
    idleHandle.reset();
    idleMulti.reset();
}

void HttpClient::setTimeouts(const Timeouts& timeouts) { impl_->timeouts = timeouts; }

const HttpClient::Timeouts& HttpClient::timeouts() const { return impl_->timeouts; }

HttpClient::Result HttpClient::get(const Request& request, const Handlers& handlers) {
    return impl_->perform(request, handlers);
}

}  // namespace nimbrel

namespace nimbrel {

struct HttpTransfers::Impl {
    MultiHandle multi;
    struct Transfer {
        int id = 0;
        std::unique_ptr<HttpClient::Impl> client;
    };
    std::list<Transfer> transfers;
    int nextId = 1;
    std::optional<TokenBucket> bucket;

    // Lets paused transfers go on while the bucket has tokens, the one that waited longest
    // first; the time until the next can go, when any still waits.
    std::optional<std::chrono::milliseconds> resumePaused() {
        if (!bucket) return std::nullopt;
        bool waiting = false;
        const auto now = TokenBucket::Clock::now();
        for (auto it = transfers.begin(); it != transfers.end();) {
            HttpClient::Impl& client = *it->client;
            if (!client.paused || !client.handle) {
                ++it;
                continue;
            }
            if (!bucket->mayTake(now)) {
                waiting = true;
                break;
            }
            client.paused = false;
            // libcurl hands the held piece over within this call; the transfer goes last in line.
            libcurl().easy_pause(client.handle.get(), CURLPAUSE_CONT);
            transfers.splice(transfers.end(), transfers, it++);
            if (client.paused) waiting = true;
        }
        if (!waiting) return std::nullopt;
        return bucket->wait(TokenBucket::Clock::now());
    }

    ~Impl() {
        // Handles leave the multi handle before either is cleaned up.
        for (Transfer& t : transfers)
            if (t.client->handle) libcurl().multi_remove_handle(multi.get(), t.client->handle.get());
        transfers.clear();
        if (multi && !idleMulti) idleMulti = std::move(multi);
    }
};

HttpTransfers::HttpTransfers(int connectionsPerHost) : impl_(std::make_unique<Impl>()) {
    if (!curlLoaded()) return;
    impl_->multi = idleMulti ? std::move(idleMulti) : MultiHandle(libcurl().multi_init());
    if (!impl_->multi) return;
    libcurl().multi_setopt(impl_->multi.get(), CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(connectionsPerHost));
    libcurl().multi_setopt(impl_->multi.get(), CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
}

HttpTransfers::~HttpTransfers() = default;

int HttpTransfers::start(const HttpClient::Request& request, HttpClient::Handlers handlers,
                         const HttpClient::Timeouts& timeouts) {
    Impl::Transfer transfer;
    transfer.id = impl_->nextId++;
    transfer.client =
        std::make_unique<HttpClient::Impl>(curlLoaded() ? EasyHandle(libcurl().easy_init()) : EasyHandle());
    transfer.client->timeouts = timeouts;
    bool ready = impl_->multi && transfer.client->prepare(request, handlers);
    if (ready && impl_->bucket) {
        transfer.client->bucket = &*impl_->bucket;
        // Small pieces keep a transfer from taking far more than its share at once.
        libcurl().easy_setopt(transfer.client->handle.get(), CURLOPT_BUFFERSIZE,
                              static_cast<long>(impl_->bucket->pieceSize()));
    }
    ready = ready && libcurl().multi_add_handle(impl_->multi.get(), transfer.client->handle.get()) == CURLM_OK;
    if (!ready) {
        // Ends as a failure at the next run(), like any transfer that could not connect.
        transfer.client->handle.reset();
    }
    int id = transfer.id;
    impl_->transfers.push_back(std::move(transfer));
    return id;
}

std::vector<std::pair<int, HttpClient::Result>> HttpTransfers::run(int maxWaitMilliseconds) {
    std::vector<std::pair<int, HttpClient::Result>> done;
    for (auto it = impl_->transfers.begin(); it != impl_->transfers.end();) {
        if (it->client->handle) {
            ++it;
            continue;
        }
        HttpClient::Result failed;
        failed.error = failed.reason = curlLoaded() ? "cannot start the transfer" : libcurl().loadError;
        done.emplace_back(it->id, failed);
        it = impl_->transfers.erase(it);
    }
    if (!done.empty() || impl_->transfers.empty()) return done;

    CURLM* multi = impl_->multi.get();
    int stillRunning = 0;
    if (std::optional<std::chrono::milliseconds> wait = impl_->resumePaused())
        maxWaitMilliseconds = static_cast<int>(std::min<long long>(maxWaitMilliseconds, wait->count()));
    libcurl().multi_perform(multi, &stillRunning);
    int messages = 0;
    auto collect = [&] {
        while (CURLMsg* message = libcurl().multi_info_read(multi, &messages)) {
            if (message->msg != CURLMSG_DONE) continue;
            for (auto it = impl_->transfers.begin(); it != impl_->transfers.end(); ++it) {
                if (it->client->handle.get() != message->easy_handle) continue;
                CURLcode code = message->data.result;
                libcurl().multi_remove_handle(multi, message->easy_handle);
                done.emplace_back(it->id, it->client->conclude(code));
                impl_->transfers.erase(it);
                break;
            }
        }
    };
    collect();
    if (!done.empty()) return done;
    libcurl().multi_poll(multi, nullptr, 0, maxWaitMilliseconds, nullptr);
    libcurl().multi_perform(multi, &stillRunning);
    collect();
    return done;
}

std::size_t HttpTransfers::running() const { return impl_->transfers.size(); }

void HttpTransfers::limitRate(std::uint64_t bytesPerSecond) {
    if (bytesPerSecond == 0)
        impl_->bucket.reset();
    else
        impl_->bucket.emplace(bytesPerSecond, TokenBucket::Clock::now());
}

}  // namespace nimbrel
