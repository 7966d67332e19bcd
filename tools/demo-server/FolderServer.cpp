#include "tools/demo-server/FolderServer.h"

#include <httplib.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

namespace nimbrel::demo {

namespace {

std::string httpDate(std::time_t t) {
    char buffer[64];
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    std::strftime(buffer, sizeof buffer, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return buffer;
}

std::string contentType(const std::string& path) {
    auto ends = [&](const char* suffix) {
        std::string s = suffix;
        return path.size() >= s.size() && path.compare(path.size() - s.size(), s.size(), s) == 0;
    };
    if (ends(".html") || ends(".htm")) return "text/html; charset=utf-8";
    if (ends(".css")) return "text/css";
    if (ends(".png")) return "image/png";
    if (ends(".jpg") || ends(".jpeg")) return "image/jpeg";
    if (ends(".ini") || ends(".txt")) return "text/plain";
    return "application/octet-stream";
}

}  // namespace

struct FolderServer::Impl {
    std::string folder;
    std::size_t bytesPerSecond = 0;
    httplib::Server server;

    void answer(const httplib::Request& request, httplib::Response& response) {
        std::string path = resolve(folder, request.path);
        struct stat info {};
        if (!path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            if (request.path.empty() || request.path.back() != '/') {
                // Relative links on the page resolve against the folder, so send the browser there.
                response.set_redirect(request.path + "/");
                log(request, response.status);
                return;
            }
            path += "/index.html";
        }
        if (path.empty() || ::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            response.status = 404;
            response.set_content("not found\n", "text/plain");
            log(request, 404);
            return;
        }
        const std::string etag = "\"" + std::to_string(info.st_size) + "-" + std::to_string(info.st_mtime) + "\"";
        const std::string lastModified = httpDate(info.st_mtime);
        response.set_header("ETag", etag);
        response.set_header("Last-Modified", lastModified);
        const bool notModified = request.has_header("If-None-Match")
                                     ? request.get_header_value("If-None-Match") == etag
                                     : request.has_header("If-Modified-Since") &&
                                           request.get_header_value("If-Modified-Since") == lastModified;
        if (notModified) {
            response.status = 304;
            log(request, 304);
            return;
        }
        const std::size_t size = static_cast<std::size_t>(info.st_size);
        const std::size_t rate = bytesPerSecond;
        auto file = std::make_shared<std::ifstream>(path, std::ios::binary);
        response.set_content_provider(
            size, contentType(path), [file, rate](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                // A tenth of a second's worth at a time keeps the rate even and a stop quick.
                std::size_t chunk = rate ? std::max<std::size_t>(rate / 10, 1) : 64 * 1024;
                std::vector<char> buffer(std::min(chunk, length));
                file->seekg(static_cast<std::streamoff>(offset));
                file->read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
                std::streamsize got = file->gcount();
                if (got <= 0) return false;
                if (rate)
                    std::this_thread::sleep_for(
                        std::chrono::microseconds(got * 1000000LL / static_cast<long long>(rate)));
                return sink.write(buffer.data(), static_cast<std::size_t>(got));
            });
        log(request, 200);
    }

    static void log(const httplib::Request& request, int status) {
        std::printf("%s %s %d\n", request.method.c_str(), request.path.c_str(), status);
        std::fflush(stdout);
    }
};

FolderServer::FolderServer(std::string folder, std::size_t bytesPerSecond) : impl_(std::make_unique<Impl>()) {
    if (!folder.empty() && folder.back() == '/') folder.pop_back();
    impl_->folder = folder;
    impl_->bytesPerSecond = bytesPerSecond;
    auto handler = [this](const httplib::Request& request, httplib::Response& response) {
        impl_->answer(request, response);
    };
    impl_->server.Get(".*", handler);
}

FolderServer::~FolderServer() = default;

int FolderServer::bind(const std::string& host, int port) {
    if (port == 0) return impl_->server.bind_to_any_port(host.c_str());
    return impl_->server.bind_to_port(host.c_str(), port) ? port : -1;
}

bool FolderServer::listen() { return impl_->server.listen_after_bind(); }

void FolderServer::stop() { impl_->server.stop(); }

std::string FolderServer::resolve(const std::string& folder, const std::string& urlPath) {
    if (urlPath.empty() || urlPath.front() != '/') return std::string();
    if (urlPath.find('\\') != std::string::npos || urlPath.find('\0') != std::string::npos) return std::string();
    std::size_t start = 1;
    while (start <= urlPath.size()) {
        std::size_t end = urlPath.find('/', start);
        if (end == std::string::npos) end = urlPath.size();
        std::string part = urlPath.substr(start, end - start);
        if (part == "." || part == "..") return std::string();
        start = end + 1;
    }
    std::string base = folder;
    if (!base.empty() && base.back() == '/') base.pop_back();
    std::string path = base + urlPath;
    if (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace nimbrel::demo
