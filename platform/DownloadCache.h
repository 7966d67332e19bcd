#pragma once
// The download cache: copies of fetched URLs kept in the
// user's cache folder ($XDG_CACHE_HOME, else ~/.cache, then "nimbrel/"), keyed by URL and
// revalidated with the server on every use (ETag / Last-Modified), so an archive that has not
// changed since an earlier run is not transferred again.
//
// Each entry is a file named after a hash of the URL, "<key>.body" (the content), that carries
// its record (URL, validators, size, checksum of the content, the patch version it belongs to)
// as an extended attribute; where the file system has none, the record is the file
// "<key>.meta", which goes first on replacement and comes last. A body being fetched grows in
// "<key>.partial", its validator in an attribute of it (or "<key>.partial-meta"): a killed or
// stopped run leaves it there, and the next run asks only for the rest (Range guarded by
// If-Range); a server that
// ignores the range or has changed the file sends it whole and the partial starts over. A
// partial download never becomes an entry before its full length is in, and whatever a power
// cut leaves behind is caught by the size and the checksum, checked whenever an entry from an
// earlier run is copied out: a damaged entry is dropped and fetched anew, never handed out.
// A caller that stages the body for the update folder gets it written once: the staged file and
// the partial (then the body) are two names of one file, so the entry needs no copy, and the
// update folder may drop its name without touching the entry.
//
// After a successful run the entries of the versions now installed go, and the whole cache is
// held under a size cap, least recently used first.
//
// The cache keeps its own files rather than AtomicFile's temporaries: a partial has to outlive
// the run that wrote it (a temporary nobody committed is removed with its owner, or swept as a
// leftover), and nobody but the cache reads an entry, which is checked whenever it is copied
// out, so neither a partial nor an entry is flushed before its rename.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/AtomicFile.h"
#include "platform/HttpClient.h"

namespace nimbrel {

// Catches torn and zero-filled content, not malice: the CRC-32 of the body, which costs little
// beside writing or reading the body (a sum mixed a word at a time cost a tenth of a large
// download's time on our own thread).
class Checksum {
public:
    void update(const char* data, std::size_t size);
    std::uint32_t value() const { return crc_; }

private:
    std::uint32_t crc_ = 0;
};

class DownloadCache {
public:
    // What "<key>.meta" records about an entry.
    struct Meta {
        std::string url;
        std::string etag;
        std::string lastModified;
        std::uint64_t size = 0;
        std::uint64_t checksum = 0;
        int version = 0;
    };
    using Progress = std::function<void(std::uint64_t received, std::uint64_t total)>;

    struct Result {
        HttpClient::Outcome outcome = HttpClient::Outcome::Failed;
        std::string path;          // the cached copy, when outcome is Complete
        bool transferred = false;  // false when the server confirmed the cached copy (304)
        bool staged = false;       // the body went straight into the file given to stageInto()
        std::string error;
        std::string reason;  // for the player, as HttpClient gives it
        // The errno of a failed write: in the cache's own files (its disk is full or read-only:
        // the caller fetches without the cache), or in the staged file that was also the
        // partial (the update folder's disk: the caller names that folder).
        int cacheWriteError = 0;
        int stagedWriteError = 0;
        bool complete() const { return outcome == HttpClient::Outcome::Complete; }
    };

    // folder ends in "/"; empty means defaultFolder().
    explicit DownloadCache(std::string folder = std::string());

    // "$XDG_CACHE_HOME/nimbrel/", else "$HOME/.cache/nimbrel/". The name is fixed so that the
    // launcher window and the headless patcher share one cache. Empty without a home folder.
    static std::string defaultFolder();
    const std::string& folder() const { return folder_; }

    // Whether the cache may be used: its folder is made (0700, like any missing folder above
    // it) or found, it belongs to this user, and nobody else may enter it (a folder of ours
    // that others may is closed to them first). Another user's folder, or none at all, would
    // let someone else hand us files, so it is refused with a debug note: the caller fetches
    // without the cache.
    [[nodiscard]] bool ownFolder() const;

    // One transfer into the cache, for callers that run many at once: start `request` with
    // `handlers` on any HttpClient or HttpTransfers, then hand its result to finish().
    class Transfer {
    public:
        Transfer(DownloadCache& cache, std::string url, int version, Progress progress);
        ~Transfer();
        Transfer(const Transfer&) = delete;
        Transfer& operator=(const Transfer&) = delete;

        HttpClient::Request request;
        HttpClient::Handlers handlers;
        // The entry is stored (or confirmed); a failed or stopped transfer keeps its partial.
        [[nodiscard]] Result finish(const HttpClient::Result& fetched);
        std::uint64_t resumedFrom() const { return request.rangeFrom; }
        // A whole body is then written once, into `file` opened for `target` (or already open
        // and empty, made ahead by the caller), and the partial is a second name of that same
        // file: no copy afterwards (Result::staged). Where the two folders cannot share a file
        // (another file system), or the body continues held bytes, it goes into the cache
        // alone and `file` receives none of it.
        void stageInto(AtomicFile& file, const std::string& target);
        // Makes the staged file now, while the request is out, rather than when the answer
        // arrives: creating a file costs more than receiving a small body, and a far server
        // leaves the time for it. Does nothing unless this is a fresh fetch with stageInto().
        void prepare();

    private:
        bool begin(const HttpClient::Response& response);
        // Records a failed write (errno) of the cache's file or of the staged one; false.
        bool writeFailed(bool staged);
        bool append(const char* data, std::size_t size);
        // Opens the staged file and gives the partial its name too (linked_ when that worked).
        void linkStaged(const std::string& partial);
        void closeFile();
        void removePartial() const;
        Result confirm(Result result);
        void dropUnresumable(long status) const;
        Result store(const HttpClient::Response& response, Result result);

        DownloadCache& cache_;
        std::string url_;
        int version_;
        Progress progress_;
        std::optional<Meta> meta_;
        int fd_ = -1;
        AtomicFile* staged_ = nullptr;
        std::string target_;
        bool linked_ = false;            // the partial is staged_'s file
        bool linkTried_ = false;         // linkStaged() ran, whatever came of it
        std::uint64_t writtenBack_ = 0;  // write-back started up to here
        std::uint64_t held_ = 0;         // bytes in the partial
        std::uint64_t expected_ = 0;     // whole length, when the head said
        bool lengthKnown_ = false;
        bool failedWrite_ = false;
        int writeError_ = 0;              // errno of the failed write
        bool stagedWriteFailed_ = false;  // it was the staged file's
        Checksum checksum_;
    };

    enum class CopyResult { Copied, Damaged, Failed };
    // Copies the URL's content into an open file by copy_file_range, a reflink where the file
    // system shares blocks, so the data is not written a second time. verify re-reads the
    // entry against its checksum first (an entry from an earlier run may have been torn).
    // Damaged: the entry did not match and is removed. Failed: no entry, or the file not writable.
    [[nodiscard]] CopyResult copyInto(const std::string& url, int destinationFd, bool verify);

    // Removes the entries and partials of versions at or below installedVersion, then the
    // least recently used until the cache holds at most maxBytes.
    void prune(int installedVersion, std::uint64_t maxBytes = kDefaultMaxBytes);
    static constexpr std::uint64_t kDefaultMaxBytes = 2ull << 30;

    // Removes the URL's entry and any partial of it, so the next download fetches it whole
    // and unconditionally. True when no entry remains afterwards.
    bool removeEntry(const std::string& url);

    // The path the URL's body has or would have (for tests and diagnostics).
    std::string bodyPath(const std::string& url) const;

    std::string partialPath(const std::string& url) const;

private:
    friend class Transfer;

    std::string keyOf(const std::string& url) const;
    std::optional<Meta> readMeta(const std::string& url) const;
    static std::string recordOf(const Meta& meta);
    bool writeMetaFile(const std::string& url, const std::string& record) const;
    bool ensureFolder() const;

    std::string folder_;
    bool onOtherFileSystem_ = false;  // than the update folder: a staged file cannot be an entry too
};

}  // namespace nimbrel
