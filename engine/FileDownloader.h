#pragma once
// Fetches the patch list and the patch archives from the patch server into the update folder.
// Archives travel together, several connections at once, through the download cache (where a
// partial survives a killed run and is resumed); the patch list is fetched fresh. Each file
// gets three attempts, one request each, with a growing pause between; the window sees one
// progress bar over all bytes (and, for the patch files, the bytes, rate and time left), the
// item label names the file started last, and a failure names its reason. A rate limit in the
// run context holds all transfers together.
//
// Nothing reaches its name in the update folder unfinished: finished files are staged under
// temporary names, flushed together, and only then renamed.
//
// Nothing is taken without bound: the patch list and its signature stop at kMaxListBytes, and
// in a signed run each archive at its signed length, hashed as it arrives; a body that breaks
// a bound never stays in the download cache.

#include <chrono>
#include <string>
#include <vector>

#include "engine/PatchListEntry.h"
#include "engine/PatchSignature.h"
#include "platform/HttpClient.h"

namespace nimbrel {

struct PatchContext;

class FileDownloader {
public:
    static constexpr int kAttempts = 3;
    static constexpr int kConnectionsPerHost = 6;
    // Far above any real patch list or signature: a server that sends more is refused.
    static constexpr std::uint64_t kMaxListBytes = 16u << 20;

    explicit FileDownloader(const PatchContext& context);

    // PatchResult::kOk when updateFolder + name exists afterwards (also when it was there
    // already), -2 when every attempt failed or the name would leave the update folder, -1
    // when the update folder cannot take the file, -7 on a stop request.
    // failureReason() tells why a -2 or -1 came.
    [[nodiscard]] int downloadFile(const std::string& name, bool useCache);
    // What downloadPatchFiles() gives when every file is in the update folder.
    static constexpr int kAllFetched = 1;

    // From here on the files the manifest names are fetched only as signed: a transfer ends at
    // the first byte past the signed length, a body of another SHA-256 is refused ("differs from
    // the signed list", shown as the verifier's refusal) and neither is retried nor cached, and a
    // cached copy is taken only when its SHA-256 is the signed one, without asking the server.
    // The signed lengths also size the bar and the time left before the first answer. manifest
    // must outlive the downloader.
    void expectSigned(const PatchSignature& manifest) { manifest_ = &manifest; }

    // kAllFetched when every file of entries is in the update folder; -3 for an empty list; -4
    // after the box "<name> file download failed (<reason>)", at once when the reason is the
    // update folder ("not enough free space on FOLDER"); -7 on a stop request.
    [[nodiscard]] int downloadPatchFiles(const std::vector<PatchListEntry>& entries);
    // Why the last download failed, for the player: "HTTP 404", "certificate not trusted".
    const std::string& failureReason() const { return failureReason_; }

    // The URL of a server-side name: patchBaseUrl (given its final "/" if it lacks one)
    // followed by the name, with the bytes a URL cannot carry literally (spaces, non-ASCII,
    // "%", "#", "?") percent-encoded.
    static std::string urlFor(const std::string& patchBaseUrl, const std::string& name);

    // Why a file could not be written into folder, for the player: a full disk by name
    // ("not enough free space on FOLDER"), else the folder and the system's reason.
    static std::string writeFailureText(int error, const std::string& folder);

    // Drops the cached copies of these files after one of them failed a check (unreadable,
    // damaged, not as signed): a server that confirms a copy by its validators (304) would
    // otherwise hand the same bytes to every later run.
    void forgetCachedFiles(const std::vector<PatchListEntry>& entries) const;

    // After a successful run: drops the cache entries of what is now installed and holds the
    // cache under its cap (NIMBREL_CACHE_MAX_BYTES, else 2 GiB).
    static void pruneCache(int installedVersion);

    // The pause before attempt 2 and 3 (about 1 s, then 3 s), spread by a random fifth so
    // that players cut off together do not return together.
    static std::chrono::milliseconds pauseBefore(int attempt);
    // The stall limit; NIMBREL_STALL_SECONDS shortens it (for tests of a silent server), and
    // NIMBREL_SLOW_TRANSFER_SECONDS the window of the average rate (for tests of a dripping one).
    static HttpClient::Timeouts timeouts();

private:
    struct File {
        std::string name;
        int version = 0;
        std::uint64_t maxBytes = 0;              // nonzero: the body may not be longer
        const ManifestFile* signedAs = nullptr;  // its manifest line, in a signed run
    };
    enum class Outcome { Done, Failed, Stopped };
    class Run;
    // Fetches every file; on Failed, failedName names the one that used up its attempts.
    [[nodiscard]] Outcome fetchAll(const std::vector<File>& files, bool useCache, std::string& failedName,
                                   bool reportBytes = false);

    const PatchContext& context_;
    const PatchSignature* manifest_ = nullptr;
    std::string failureReason_;
    bool failedWriting_ = false;  // the last failure was the update folder's, not the server's
    bool notAsSigned_ = false;    // the last failure was a file that is not as signed
};

}  // namespace nimbrel
