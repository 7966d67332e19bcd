#pragma once
// Serves one folder read-only over HTTP, as a patch server publishes its patch list and
// archives: GET and HEAD, index.html for folders, validators (ETag, Last-Modified) with
// conditional requests so the launcher's download cache can skip unchanged files, and an
// optional rate limit so the demo's progress bar has something to show.

#include <cstddef>
#include <memory>
#include <string>

namespace nimbrel::demo {

class FolderServer {
public:
    FolderServer(std::string folder, std::size_t bytesPerSecond);
    ~FolderServer();
    FolderServer(const FolderServer&) = delete;
    FolderServer& operator=(const FolderServer&) = delete;

    // Binds host:port (port 0 picks a free one); the port bound, or -1.
    int bind(const std::string& host, int port);
    // Answers until stop(); call after bind().
    bool listen();
    void stop();

    // The file a request path names inside the folder, or empty when it names nothing
    // there: no "..", no "." components, no backslashes, no NUL.
    static std::string resolve(const std::string& folder, const std::string& urlPath);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace nimbrel::demo
