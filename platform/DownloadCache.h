#pragma once
// Our stand-in for the original platform's download cache: copies of fetched URLs kept in the
// user's cache folder ($XDG_CACHE_HOME, else ~/.cache, then "nimbrel/"), keyed by URL and
// revalidated with the server on every use (ETag / Last-Modified), so an archive that has not
// changed since an earlier run is not transferred again.
//
// Each entry is two files named after a hash of the URL: "<key>.body" (the content) and
// "<key>.meta" (URL, validators, size, checksum of the content). Both are written under a
// temporary name, their data put on the disk, then renamed; the meta file goes first on
// replacement and comes last. A partial download never becomes an entry, and whatever a power
// cut leaves behind is caught by the size and the checksum, checked on every copy out of the
// cache: a damaged entry is dropped and fetched anew, never handed out.

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/HttpClient.h"

namespace nimbrel {

class DownloadCache {
public:
    using Progress = std::function<void(std::uint64_t received, std::uint64_t total)>;

    struct Result {
        HttpClient::Outcome outcome = HttpClient::Outcome::Failed;
        std::string path;          // the cached copy, when outcome is Complete
        bool transferred = false;  // false when the server confirmed the cached copy (304)
        std::string error;
        bool complete() const { return outcome == HttpClient::Outcome::Complete; }
    };

    // folder ends in "/"; empty means defaultFolder().
    explicit DownloadCache(std::string folder = std::string());

    // "$XDG_CACHE_HOME/nimbrel/", else "$HOME/.cache/nimbrel/". The name is fixed so that the
    // launcher window and the headless patcher share one cache.
    static std::string defaultFolder();
    const std::string& folder() const { return folder_; }

    // Brings the URL's entry up to date with the server and gives the path of the cached
    // copy. Progress reports bytes of a transfer (and once, the whole size, when the server
    // confirms the copy). A set stop flag ends the transfer with outcome Stopped.
    [[nodiscard]] Result download(const std::string& url, const Progress& progress,
                                  const std::atomic<int>* stopFlag = nullptr);

    enum class CopyResult { Copied, Damaged, Failed };
    // Copies the URL's cached content to destination (created or truncated, its data on the
    // disk afterwards) and checks it against the checksum taken when it was fetched. Damaged:
    // the entry did not match and is removed. Failed: no entry, or destination not writable.
    [[nodiscard]] CopyResult copyTo(const std::string& url, const std::string& destination);

    // Removes the URL's entry. True when no entry remains afterwards.
    bool removeEntry(const std::string& url);

    // The path the URL's body has or would have (for tests and diagnostics).
    std::string bodyPath(const std::string& url) const;

    void setTimeouts(const HttpClient::Timeouts& timeouts) { timeouts_ = timeouts; }

private:
    struct Meta {
        std::string url;
        std::string etag;
        std::string lastModified;
        std::uint64_t size = 0;
        std::uint64_t checksum = 0;
    };

    std::string keyOf(const std::string& url) const;
    std::optional<Meta> readMeta(const std::string& url) const;
    bool writeMeta(const std::string& url, const Meta& meta) const;
    bool ensureFolder() const;

    std::string folder_;
    HttpClient::Timeouts timeouts_;
};

}  // namespace nimbrel
