#include "platform/HttpClient.h"

#include <curl/curl.h>
#include <strings.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/ExecutablePath.h"
#include "platform/FlushedFile.h"

namespace nimbrel {

namespace {

void initialiseCurlOnce() {
    static std::once_flag once;
    // Never cleaned up: other threads may still hold handles while the process ends.
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;

struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

// One idle handle per thread keeps its connection and DNS caches alive between the clients the
// downloader creates one after another, so 200 small files reuse one connection. Handles are
// never shared between threads while in use.
thread_local EasyHandle idleHandle;

EasyHandle takeHandle() {
    initialiseCurlOnce();
    if (idleHandle) return std::move(idleHandle);
    return EasyHandle(curl_easy_init());
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

}  // namespace

struct HttpClient::Impl {
    EasyHandle handle = takeHandle();
    Timeouts timeouts;

    // State of the transfer under way, reached from the C callbacks.
    const Request* request = nullptr;
    const Handlers* handlers = nullptr;
    Response response;
    bool headDone = false;
    bool httpError = false;
    bool refused = false;
    bool stopped = false;
    std::uint64_t bodyBytes = 0;

    bool stopWanted() {
        if (request->stopFlag && request->stopFlag->load() != 0) stopped = true;
        return stopped;
    }

    // The head of the final response is complete once the first body byte (or the end of an
    // empty body) arrives; earlier heads belong to redirects.
    bool finishHead() {
        if (headDone) return !httpError && !refused;
        headDone = true;
        long status = 0;
        curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &status);
        response.status = status;
        curl_off_t length = -1;
        curl_easy_getinfo(handle.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        if (length >= 0) response.contentLength = static_cast<std::uint64_t>(length);
        if (status < 200 || status > 299) {
            httpError = true;
            return false;
        }
        if (handlers->onResponse && !handlers->onResponse(response)) {
            refused = true;
            return false;
        }
        return true;
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* self) {
        auto* impl = static_cast<Impl*>(self);
        std::string_view line(data, size * count);
        if (line.starts_with("HTTP/")) {
            impl->response = Response();  // a new response after a redirect or "100 Continue"
        } else if (size_t colon = line.find(':'); colon != std::string_view::npos) {
            std::string name = trim(line.substr(0, colon));
            if (strcasecmp(name.c_str(), "ETag") == 0)
                impl->response.etag = trim(line.substr(colon + 1));
            else if (strcasecmp(name.c_str(), "Last-Modified") == 0)
                impl->response.lastModified = trim(line.substr(colon + 1));
        }
        return size * count;
    }

    static size_t onWrite(char* data, size_t size, size_t count, void* self) {
        auto* impl = static_cast<Impl*>(self);
        size_t bytes = size * count;
        if (impl->stopWanted() || !impl->finishHead()) return CURL_WRITEFUNC_ERROR;
        impl->bodyBytes += bytes;
        // A body running past its announced length is not the file the head described.
        if (impl->response.contentLength && impl->bodyBytes > *impl->response.contentLength) {
            impl->refused = true;
            return CURL_WRITEFUNC_ERROR;
        }
        if (impl->handlers->onData && !impl->handlers->onData(data, bytes)) {
            impl->refused = true;
            return CURL_WRITEFUNC_ERROR;
        }
        if (impl->handlers->onProgress) impl->handlers->onProgress(impl->bodyBytes, impl->response.contentLength);
        return bytes;
    }

    // libcurl calls this about once a second even while nothing arrives: that is what makes a
    // stop request end a stalled transfer promptly.
    static int onTransferInfo(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return static_cast<Impl*>(self)->stopWanted() ? 1 : 0;
    }

    Result perform(const Request& req, const Handlers& h) {
        request = &req;
        handlers = &h;
        response = Response();
        headDone = httpError = refused = stopped = false;
        bodyBytes = 0;

        Result result;
        if (!handle) {
            result.error = "cannot create an HTTP handle";
            return result;
        }
        if (stopWanted()) {
            result.outcome = Outcome::Stopped;
            return result;
        }
        CURL* c = handle.get();
        curl_easy_reset(c);
        char errorBuffer[CURL_ERROR_SIZE] = {};
        static const std::string userAgent = ExecutablePath::name();

        HeaderList headers;
        auto addHeader = [&headers](const std::string& line) {
            curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
            if (grown) {
                headers.release();
                headers.reset(grown);
            }
        };
        if (req.reload) {
            addHeader("Cache-Control: no-cache");
            addHeader("Pragma: no-cache");
        }
        if (!req.ifNoneMatch.empty()) addHeader("If-None-Match: " + req.ifNoneMatch);
        if (!req.ifModifiedSince.empty()) addHeader("If-Modified-Since: " + req.ifModifiedSince);

        curl_easy_setopt(c, CURLOPT_URL, req.url.c_str());
        curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer);
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
        curl_easy_setopt(c, CURLOPT_USERAGENT, userAgent.c_str());
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, timeouts.connectSeconds);
        curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, timeouts.lowSpeedBytesPerSecond);
        curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, timeouts.lowSpeedSeconds);
        curl_easy_setopt(c, CURLOPT_TCP_KEEPALIVE, 1L);
        curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 128L * 1024L);
        if (headers) curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &Impl::onHeader);
        curl_easy_setopt(c, CURLOPT_HEADERDATA, this);
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Impl::onWrite);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &Impl::onTransferInfo);
        curl_easy_setopt(c, CURLOPT_XFERINFODATA, this);
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);

        CURLcode code = curl_easy_perform(c);
        // The buffer and the header list die with this frame; the handle must not point at them.
        curl_easy_setopt(c, CURLOPT_ERRORBUFFER, nullptr);
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);

        result.bodyBytes = bodyBytes;
        if (stopped || (code == CURLE_ABORTED_BY_CALLBACK && stopWanted())) {
            result.outcome = Outcome::Stopped;
        } else if (code == CURLE_OK) {
            long status = 0;
            curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
            if (status == 304) {
                response.status = status;
                result.outcome = Outcome::NotModified;
            } else if (!finishHead()) {
                result.outcome = httpError ? Outcome::HttpError : Outcome::Failed;
                if (refused) result.error = "the download was refused by its receiver";
            } else if (response.contentLength && bodyBytes != *response.contentLength) {
                result.error = "body length " + std::to_string(bodyBytes) + " differs from Content-Length " +
                               std::to_string(*response.contentLength);
            } else {
                result.outcome = Outcome::Complete;
            }
        } else if (httpError) {
            result.outcome = Outcome::HttpError;
        } else {
            result.error = errorBuffer[0] ? std::string(errorBuffer) : std::string(curl_easy_strerror(code));
            if (refused) result.error = "the download was refused by its receiver";
        }
        if (result.outcome == Outcome::HttpError) result.error = "HTTP status " + std::to_string(response.status);
        result.response = response;
        request = nullptr;
        handlers = nullptr;
        return result;
    }
};

HttpClient::HttpClient() : impl_(std::make_unique<Impl>()) {}

HttpClient::~HttpClient() { returnHandle(std::move(impl_->handle)); }

void HttpClient::dropIdleConnections() { idleHandle.reset(); }

void HttpClient::setTimeouts(const Timeouts& timeouts) { impl_->timeouts = timeouts; }

const HttpClient::Timeouts& HttpClient::timeouts() const { return impl_->timeouts; }

HttpClient::Result HttpClient::get(const Request& request, const Handlers& handlers) {
    return impl_->perform(request, handlers);
}

HttpClient::Result HttpClient::getToFile(const Request& request, const std::string& path,
                                         std::function<void(std::uint64_t, std::optional<std::uint64_t>)> onProgress,
                                         std::function<void(const char*, std::size_t)> onWritten) {
    FlushedFile file;
    std::string fileError;
    Handlers handlers;
    handlers.onResponse = [&](const Response&) {
        if (file.open(path)) return true;
        fileError = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    };
    handlers.onData = [&](const char* data, std::size_t size) {
        if (file.write(data, size)) {
            if (onWritten) onWritten(data, size);
            return true;
        }
        fileError = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    };
    handlers.onProgress = std::move(onProgress);
    Result result = get(request, handlers);
    if (result.complete() && !file.finish()) {
        result.outcome = Outcome::Failed;
        fileError = "cannot flush " + path + ": " + std::strerror(errno);
    }
    if (!fileError.empty()) result.error = fileError;
    return result;
}

}  // namespace nimbrel
