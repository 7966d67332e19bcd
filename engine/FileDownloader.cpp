#include "engine/FileDownloader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "engine/PatchEngine.h"
#include "engine/PatchResult.h"
#include "platform/DebugOutput.h"
#include "platform/DownloadCache.h"
#include "platform/FileSystem.h"
#include "platform/HttpClient.h"
#include "platform/PatchWindow.h"
#include "platform/WindowMessages.h"

namespace nimbrel {

namespace {

constexpr const char* kTemporaryName = "tmp.tmp";
constexpr const char* kCaption = "Nimbrel";

// Renames without replacing an existing target, as the original's copy "failing if the
// target exists". Falls back to check-then-rename on file systems without the flag.
bool renameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    if (FileSystem::fileExists(to)) return false;
    return ::rename(from.c_str(), to.c_str()) == 0;
}

void trace(const std::string& text) { DebugOutput::write(text + "\n"); }

}  // namespace

std::string FileDownloader::urlFor(const std::string& patchBaseUrl, const std::string& name) {
    static const char* hex = "0123456789ABCDEF";
    std::string url = patchBaseUrl;
    for (unsigned char c : name) {
        bool literal = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       std::strchr("-._~!$&'()*+,;=:@/", c) != nullptr;
        if (literal && c != 0) {
            url += static_cast<char>(c);
        } else {
            url += '%';
            url += hex[c >> 4];
            url += hex[c & 15];
        }
    }
    return url;
}

FileDownloader::Attempt FileDownloader::fetchDirect(const std::string& url, const std::string& target) {
    const std::string temporary = engine_.updateFolder() + kTemporaryName;
    PatchWindow* window = engine_.dialog;
    int lastPercent = 0;  // the attempt began with a posted 0
    auto post = [&](int percent) {
        if (window && percent != lastPercent) window->postMessage(WM_PATCH_PROGRESS, percent, 0);
        lastPercent = percent;
    };

    HttpClient client;
    HttpClient::Request request;
    request.url = url;
    request.reload = true;  // the direct fetch never takes an answer from a cache
    request.stopFlag = &engine_.stopRequested;
    // Exact integer percentages: single-precision scaling could leave a finished file at 99.
    // Without a Content-Length there is nothing to scale by until the end.
    HttpClient::Result result =
        client.getToFile(request, temporary, [&](std::uint64_t received, std::optional<std::uint64_t> total) {
            if (total && *total > 0) post(static_cast<int>(std::min<std::uint64_t>(received * 100 / *total, 100)));
        });

    if (result.outcome == HttpClient::Outcome::Stopped) return Attempt::Stopped;  // a partial tmp.tmp stays
    if (!result.complete()) {
        trace("download of " + url + " failed: " + result.error);
        ::unlink(temporary.c_str());
        return Attempt::Failed;
    }
    // No folder flush: the update folder is emptied at the start of every online run, so a
    // rename lost to a power cut costs nothing; the content itself was flushed.
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        trace("cannot move " + temporary + " to " + target + ": " + std::strerror(errno));
        ::unlink(temporary.c_str());
        return Attempt::Failed;
    }
    post(100);
    return Attempt::Done;
}

FileDownloader::Attempt FileDownloader::copyFromCache(const std::string& url, const std::string& target,
                                                      bool& cacheFailed) {
    cacheFailed = false;
    DownloadCache cache;
    CCallBack& sink = engine_.downloadCallback;
    sink.resetProgress();
    // The sink is handed to the cache for the length of the download, as a bound callback would be.
    sink.AddRef();
    DownloadCache::Result cached = cache.download(
        url,
        [&sink](std::uint64_t received, std::uint64_t total) {
            sink.OnProgress(static_cast<unsigned long>(received), static_cast<unsigned long>(total), 0, nullptr);
        },
        &engine_.stopRequested);
    sink.Release();

    if (cached.outcome == HttpClient::Outcome::Stopped) return Attempt::Stopped;
    if (!cached.complete()) {
        trace("cached download of " + url + " failed: " + cached.error);
        cacheFailed = true;
        return Attempt::Failed;
    }
    // Staged under the temporary name so that a half-copied file never carries the target's.
    const std::string temporary = engine_.updateFolder() + kTemporaryName;
    DownloadCache::CopyResult copied = cache.copyTo(url, temporary);
    if (copied == DownloadCache::CopyResult::Damaged) {
        // The cached copy did not match what was fetched: the direct fetch, as for a failed
        // cached download.
        trace("the cached copy of " + url + " was damaged and is dropped");
        ::unlink(temporary.c_str());
        cacheFailed = true;
        return Attempt::Failed;
    }
    if (copied != DownloadCache::CopyResult::Copied || !renameNoReplace(temporary, target)) {
        trace("cannot copy the cached " + url + " to " + target + ": " + std::strerror(errno));
        ::unlink(temporary.c_str());
        return Attempt::Failed;
    }
    // A body without Content-Length (or an empty one) gave the sink nothing to scale by.
    if (engine_.dialog && sink.lastPostedPercent() != 100) engine_.dialog->postMessage(WM_PATCH_PROGRESS, 100, 0);
    return Attempt::Done;
}

int FileDownloader::downloadFile(const std::string& name, bool useCache) {
    if (engine_.stopRequested) return PatchResult::kStopped;
    PatchWindow* window = engine_.dialog;
    if (window) window->setLabelText(IDC_ITEM_LABEL, name);

    // The patch list refuses such names already; this is the last line before the disk.
    if (!FileSystem::isSafeRelativeName(name, false) || name == kTemporaryName) {
        trace("refused server file name \"" + name + "\"");
        return PatchResult::kListDownloadFailed;
    }
    const std::string target = engine_.updateFolder() + name;
    if (engine_.fileExists(target)) return 0;

    const std::string url = urlFor(engine_.patchBaseUrl, name);
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        if (window) window->postMessage(WM_PATCH_PROGRESS, 0, 0);
        if (useCache) {
            bool cacheFailed = false;
            Attempt copied = copyFromCache(url, target, cacheFailed);
            if (copied == Attempt::Stopped) return PatchResult::kStopped;
            if (copied == Attempt::Done) return 0;
            if (!cacheFailed) continue;  // the copy into place failed: next attempt
        } else {
            DownloadCache().removeEntry(url);
        }
        Attempt fetched = fetchDirect(url, target);
        if (fetched == Attempt::Stopped) return PatchResult::kStopped;
        if (fetched == Attempt::Done) return 0;
    }
    return PatchResult::kListDownloadFailed;
}

int FileDownloader::downloadPatchFiles() {
    if (engine_.stopRequested) return PatchResult::kStopped;
    if (engine_.patchEntries.empty()) return PatchResult::kNothingToFetch;
    for (const PatchListEntry& entry : engine_.patchEntries) {
        if (downloadFile(entry.fileName, true) >= 0) {
            // With a release key, a file that does not match the signed list ends the fetch at once.
            if (engine_.verifyPatchFile(entry) < 0) return -4;
            continue;
        }
        if (engine_.dialog) engine_.dialog->messageBox(entry.fileName + " file download failed", kCaption);
        return engine_.stopRequested ? -7 : -4;
    }
    return 1;
}

}  // namespace nimbrel
