#include "engine/FileDownloader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <system_error>
#include <thread>

#include "engine/PatchContext.h"
#include "engine/PatchListVerifier.h"
#include "engine/PatchResult.h"
#include "engine/TransferMeter.h"
#include "platform/AtomicFile.h"
#include "platform/DebugOutput.h"
#include "platform/DownloadCache.h"
#include "platform/FileDescriptor.h"
#include "platform/FileSystem.h"
#include "platform/FolderLock.h"
#include "platform/PatchWindow.h"
#include "platform/WindowMessages.h"
#include "platform/WriteBack.h"

namespace nimbrel {

namespace {

constexpr const char* kCaption = "Nimbrel";
// Finished files waiting for their names hold a descriptor each; a long list is flushed and
// named in groups so that it never runs out of them.
constexpr std::size_t kStagedGroup = 64;
constexpr int kWaitStepMilliseconds = 100;
// How far ahead of the transfers their files are made: a few more than run at once.
constexpr std::size_t kFilesAhead = 12;
constexpr const char* kLargerThanSigned = "larger than the signed list says";

void trace(const std::string& text) { DebugOutput::write(text + "\n"); }

std::string withReason(const std::string& text, const std::string& reason) {
    return reason.empty() ? text : text + " (" + reason + ")";
}

using Clock = std::chrono::steady_clock;

// One file of the run, across its attempts.
struct Job {
    std::string name;
    int version = 0;
    std::string url;
    std::string target;
    std::uint64_t maxBytes = 0;
    const ManifestFile* signedAs = nullptr;
    std::unique_ptr<PatchSignature::Digest> digest;  // of this attempt's body, in a signed run
    std::string signedFault;                         // why this attempt's body is not the signed file
    int attempt = 0;                                 // attempts started
    Clock::time_point notBefore{};
    int transferId = -1;
    std::unique_ptr<DownloadCache::Transfer> cached;
    AtomicFile staged;  // the body is written here (also the cache's partial where the two can share a file)
    std::uint64_t received = 0;
    std::uint64_t total = 0;    // 0 while unknown
    std::uint64_t resumed = 0;  // of received: held by a partial and confirmed by the server
    bool finished = false;
    std::string reason;
    int writeError = 0;        // errno: the update folder could not take the file
    bool cacheFailed = false;  // the cache could not take it
};

// The bar over all files and the status line's bytes, rate and time left. A file's length is
// its signed length, else its answer's Content-Length; a file not started yet whose length is
// unknown counts as the largest known, so that the bar rather lags than runs ahead, and it
// never goes back. Bytes a partial held (a resumed download) count as done at once. The window
// hears of each changed percentage once, and of the bytes a few times a second: a fast link
// would otherwise flood it.
class OverallProgress {
public:
    static constexpr std::chrono::milliseconds kBytesInterval{250};

    OverallProgress(PatchWindow* window, const std::vector<std::unique_ptr<Job>>& jobs)
        : window_(window), jobs_(jobs) {}

    void reportBytes(bool on) { reportBytes_ = on; }
    void addWireBytes(std::size_t bytes) { wireBytes_ += bytes; }

    void report(bool force = false) {
        std::uint64_t done = 0, known = 0, largest = 0, resumed = 0;
        std::size_t unknown = 0;
        for (const auto& job : jobs_) {
            const std::uint64_t length = job->total > 0 ? job->total : job->signedAs ? job->signedAs->length : 0;
            resumed += job->resumed;
            if (length == 0) {
                ++unknown;
                done += job->received;
                largest = std::max(largest, job->received);
                continue;
            }
            done += std::min(job->received, length);
            known += length;
            largest = std::max(largest, length);
        }
        if (known == 0 && unknown == jobs_.size() && done == 0) return;
        const std::uint64_t expected = known + largest * unknown;
        if (expected > 0) {
            const int percent = static_cast<int>(std::min(done, expected) * 100 / expected);
            if (percent > shown_) {
                trace(std::to_string(done) + " / " + std::to_string(expected));
                post(percent);
                force = true;
            }
        }
        if (!reportBytes_ || !window_) return;
        const Clock::time_point now = Clock::now();
        if (!force && now - lastBytes_ < kBytesInterval) return;
        lastBytes_ = now;
        window_->postTransfer(meter_.update(now, done, unknown == 0 ? known : 0, resumed, wireBytes_));
    }
    // Sets the bar, also back to 0 for a file fetched again.
    void post(int percent) {
        shown_ = percent;
        if (window_) window_->postProgress(percent);
    }
    int shown() const { return shown_; }

private:
    PatchWindow* window_;
    const std::vector<std::unique_ptr<Job>>& jobs_;
    int shown_ = 0;
    bool reportBytes_ = false;
    std::uint64_t wireBytes_ = 0;
    TransferMeter meter_;
    Clock::time_point lastBytes_{};
};

// Makes the jobs' staged files on a thread of its own, a few jobs ahead of the transfers.
// Creating a file can cost more than receiving a patch archive over a fast line (ext4 without
// a journal searching past every inode freed in the last minutes, FUSE, a network home), and
// on the transfers' thread it held up every answer behind it. A file that cannot be made here
// is made again when its answer comes, where the failure is reported; one made for a job that
// never starts is removed with the job.
class FilesAhead {
public:
    explicit FilesAhead(std::vector<std::unique_ptr<Job>>& jobs) : jobs_(jobs) {
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            made_ = jobs_.size();  // no thread to spare: every file is made when it is needed
        }
    }
    ~FilesAhead() {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable()) thread_.join();
    }
    FilesAhead(const FilesAhead&) = delete;
    FilesAhead& operator=(const FilesAhead&) = delete;

    // Before the job's first start: its file is tried, and the thread may go on past it.
    void await(std::size_t index) {
        std::unique_lock lock(mutex_);
        limit_ = std::max(limit_, index + 1 + kFilesAhead);
        changed_.notify_all();
        changed_.wait(lock, [&] { return made_ > index; });
    }

private:
    void run() {
        for (std::size_t i = 0; i < jobs_.size(); ++i) {
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return quit_ || i < limit_; });
                if (quit_) return;
            }
            // Until made_ passes it, this job's file is this thread's alone.
            (void)jobs_[i]->staged.open(jobs_[i]->target);
            {
                std::lock_guard lock(mutex_);
                made_ = i + 1;
            }
            changed_.notify_all();
        }
    }

    std::vector<std::unique_ptr<Job>>& jobs_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t limit_ = kFilesAhead;
    std::size_t made_ = 0;
    bool quit_ = false;
    std::thread thread_;
};

// Notes what a cached transfer's end says about the disks it wrote to.
void noteWriteErrors(Job& job, const DownloadCache::Result& stored) {
    if (stored.cacheWriteError != 0) job.cacheFailed = true;
    if (stored.stagedWriteError != 0) job.writeError = stored.stagedWriteError;
}

// Flushes the staged files together (their write-back was started as each was finished, so
// the flush overlaps the transfers), and only then gives them their names.
bool commitStaged(std::vector<Job*>& staged, std::string& failedName, std::string& failureReason) {
    std::vector<AtomicFile*> files;
    for (Job* job : staged) files.push_back(&job->staged);
    int failed = AtomicFile::commitTogether(files, AtomicFile::Commit::NoReplace);
    if (failed >= 0) {
        Job& job = *staged[static_cast<std::size_t>(failed)];
        trace("cannot name " + job.target + ": " + std::strerror(errno));
        failedName = job.name;
        failureReason = FileDownloader::writeFailureText(errno, FileSystem::folderOf(job.target));
    }
    staged.clear();
    return failed < 0;
}

}  // namespace

std::string FileDownloader::urlFor(const std::string& patchBaseUrl, const std::string& name) {
    static const char* hex = "0123456789ABCDEF";
    std::string url = patchBaseUrl;
    // A base written without its final slash would ask for ".../plus_realversion.ini".
    if (!url.empty() && url.back() != '/') url += '/';
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

std::chrono::milliseconds FileDownloader::pauseBefore(int attempt) {
    static thread_local std::mt19937 random{std::random_device{}()};
    const double base = attempt <= 2 ? 1000.0 : 3000.0;
    return std::chrono::milliseconds(static_cast<long>(base * std::uniform_real_distribution<>(0.8, 1.2)(random)));
}

FileDownloader::FileDownloader(const PatchContext& context) : context_(context) {}

HttpClient::Timeouts FileDownloader::timeouts() {
    HttpClient::Timeouts limits;
    if (const char* text = std::getenv("NIMBREL_STALL_SECONDS"); text && std::atol(text) > 0)
        limits.lowSpeedSeconds = limits.connectSeconds = std::atol(text);
    if (const char* text = std::getenv("NIMBREL_SLOW_TRANSFER_SECONDS"); text && std::atol(text) > 0)
        limits.averageSeconds = std::atol(text);
    return limits;
}

// One fetch of a list of files: the jobs, the transfers that run them, and the files staged
// for the update folder. run() repeats one round (start what is due, move the transfers on,
// handle those that ended) until every file is staged or one has failed for good.
class FileDownloader::Run {
public:
    Run(FileDownloader& owner, const std::vector<File>& files, bool useCache, bool reportBytes);
    Outcome run(std::string& failedName);

private:
    // What a transfer's end means for the run.
    enum class Next { Continue, Failed, Stopped };

    void startDue();
    void start(Job& job);
    [[nodiscard]] bool takeSignedCopy(Job& job);
    void bindToSignature(Job& job, HttpClient::Request& request, HttpClient::Handlers& handlers);
    HttpClient::Handlers directHandlers(Job& job);
    void measure(Job& job, HttpClient::Handlers& handlers);
    Next ended(Job& job, const HttpClient::Result& result, std::string& failedName);
    [[nodiscard]] bool stage(Job& job, const HttpClient::Result& result);
    [[nodiscard]] bool openStaged(Job& job);
    Next retryOrFail(Job& job, const HttpClient::Result& result, std::string& failedName);
    void prepareFiles();
    void awaitEarliestRetry();
    Next commit(std::string& failedName);

    FileDownloader& owner_;
    const PatchContext& context_;
    PatchWindow* window_;
    DownloadCache cache_;
    // The cache is one user's, shared by the runs of all their game folders (and a run from
    // cron has a name lock of its own): one that another run holds is left to it, partials
    // and all.
    FolderLock cacheHold_;
    bool cached_ = false;
    std::vector<std::unique_ptr<Job>> jobs_;
    OverallProgress progress_;
    HttpTransfers transfers_{kConnectionsPerHost};
    HttpClient::Timeouts limits_ = timeouts();
    std::vector<Job*> staged_;
    std::size_t next_ = 0;  // jobs before this one have been started at least once
    std::size_t running_ = 0;
    std::size_t left_ = 0;
    std::string lastStarted_;
    bool sent_ = false;  // requests started whose files are not made yet
    // Declared after the jobs, so that it stops before they go.
    std::optional<FilesAhead> ahead_;
};

FileDownloader::Run::Run(FileDownloader& owner, const std::vector<File>& files, bool useCache, bool reportBytes)
    : owner_(owner), context_(owner.context_), window_(owner.context_.dialog), progress_(window_, jobs_) {
    progress_.reportBytes(reportBytes);
    if (context_.maxBytesPerSecond > 0) {
        transfers_.limitRate(context_.maxBytesPerSecond);
        // The transfers share the limit, each waiting its turn: a low one must not read as a drip.
        limits_.minAverageBytesPerSecond =
            std::min<long>(limits_.minAverageBytesPerSecond,
                           static_cast<long>(context_.maxBytesPerSecond / (2 * kConnectionsPerHost)));
    }
    // Without a usable cache the archives are still fetched, straight into the update folder;
    // so is the rest of the run once the cache's disk turns out full or read-only.
    cached_ = useCache && cache_.ownFolder() && cacheHold_.acquire(cache_.folder()) != FolderLock::Result::Held;
    std::set<std::string> seen;
    for (const File& file : files) {
        if (!seen.insert(file.name).second) continue;  // a name listed twice is fetched once
        auto job = std::make_unique<Job>();
        job->name = file.name;
        job->version = file.version;
        job->maxBytes = file.maxBytes;
        job->signedAs = file.signedAs;
        job->url = urlFor(context_.patchBaseUrl, file.name);
        job->target = context_.layout.updateFolder() + file.name;
        jobs_.push_back(std::move(job));
    }
    left_ = jobs_.size();
    progress_.post(0);
    progress_.report(true);
    if (jobs_.size() > 1) ahead_.emplace(jobs_);
}

FileDownloader::Outcome FileDownloader::Run::run(std::string& failedName) {
    while (left_ > 0) {
        if (context_.stopRequested) {
            failedName = lastStarted_;
            return Outcome::Stopped;
        }
        startDue();
        // Cached copies taken without a request are staged too.
        if (staged_.size() >= kStagedGroup && commit(failedName) == Next::Failed) return Outcome::Failed;
        // New requests go out at once; the files for their answers are made while the server
        // works on them.
        const bool prepare = sent_;
        sent_ = false;
        for (auto& [id, result] : transfers_.run(prepare ? 0 : kWaitStepMilliseconds)) {
            auto found =
                std::find_if(jobs_.begin(), jobs_.end(), [id = id](const auto& job) { return job->transferId == id; });
            if (found == jobs_.end()) continue;
            const Next next = ended(**found, result, failedName);
            if (next == Next::Failed) return Outcome::Failed;
            if (next == Next::Stopped) return Outcome::Stopped;
        }
        if (prepare) prepareFiles();
        awaitEarliestRetry();
    }
    if (commit(failedName) == Next::Failed) return Outcome::Failed;
    // A body without Content-Length (or an empty one) gave the bar nothing to scale by.
    if (progress_.shown() != 100) progress_.post(100);
    progress_.report(true);
    return Outcome::Done;
}

// Retries first (they hold up the run), then files not yet started.
void FileDownloader::Run::startDue() {
    const Clock::time_point now = Clock::now();
    for (auto& job : jobs_) {
        if (running_ >= static_cast<std::size_t>(kConnectionsPerHost)) break;
        if (!job->finished && job->transferId < 0 && job->attempt > 0 && job->notBefore <= now) start(*job);
    }
    while (next_ < jobs_.size() && running_ < static_cast<std::size_t>(kConnectionsPerHost)) {
        if (ahead_) ahead_->await(next_);
        start(*jobs_[next_++]);
    }
}

void FileDownloader::Run::start(Job& job) {
    if (cached_ && job.signedAs && job.attempt == 0 && takeSignedCopy(job)) return;
    ++job.attempt;
    job.received = 0;
    job.resumed = 0;
    // A file fetched alone shows each attempt from 0; a retry among many leaves the bar be.
    if (jobs_.size() == 1 && job.attempt > 1) progress_.post(0);
    HttpClient::Request request;
    HttpClient::Handlers handlers;
    if (cached_) {
        job.cached = std::make_unique<DownloadCache::Transfer>(
            cache_, job.url, job.version, [&job, this](std::uint64_t received, std::uint64_t total) {
                job.received = received;
                if (total > 0) job.total = total;
                progress_.report();
            });
        job.cached->stageInto(job.staged, job.target);
        request = job.cached->request;
        handlers = job.cached->handlers;
        measure(job, handlers);
    } else {
        request.url = job.url;
        request.reload = true;  // the patch list never comes from a cache on the way
        handlers = directHandlers(job);
        measure(job, handlers);
    }
    request.stopFlag = &context_.stopRequested;
    if (job.maxBytes > 0) request.maxBodyBytes = job.maxBytes;
    if (job.signedAs) bindToSignature(job, request, handlers);
    job.transferId = transfers_.start(request, std::move(handlers), limits_);
    ++running_;
    sent_ = true;
    lastStarted_ = job.name;
    if (window_) window_->setLabelText(IDC_ITEM_LABEL, job.name);
}

// In a signed run a cached copy is known by its SHA-256, not by what the server says of it: one
// that matches is staged without a request; one that does not goes, and the file is fetched
// whole. The digest is taken of the staged copy itself, the bytes the update folder will hold.
bool FileDownloader::Run::takeSignedCopy(Job& job) {
    if (!FileSystem::fileExists(cache_.bodyPath(job.url))) return false;
    if (!openStaged(job)) {
        job.writeError = 0;  // the transfer's answer opens it again, and reports a failure then
        return false;
    }
    PatchSignature::Digest digest;
    const bool matches = cache_.copyInto(job.url, job.staged.fd(), true) == DownloadCache::CopyResult::Copied &&
                         digest.updateFromFile(job.staged.fd()) && digest.finish(job.signedAs->name) == *job.signedAs;
    if (!matches) {
        trace("the cached copy of " + job.url + " is not the signed file: fetched anew");
        job.staged.discard();
        cache_.removeEntry(job.url);
        return false;
    }
    WriteBack::start(job.staged.fd(), 0, 0);
    job.total = job.received = job.signedAs->length;
    job.finished = true;
    --left_;
    staged_.push_back(&job);
    progress_.report();
    return true;
}

// A signed file is asked for unconditionally (a validator must not confirm a copy the digest
// has not seen), stops at its signed length, and is hashed as it arrives: held bytes of a
// resumed partial first, then each piece before it is written.
void FileDownloader::Run::bindToSignature(Job& job, HttpClient::Request& request, HttpClient::Handlers& handlers) {
    request.ifNoneMatch.clear();
    request.ifModifiedSince.clear();
    request.maxBodyBytes = job.signedAs->length;
    job.digest = std::make_unique<PatchSignature::Digest>();
    job.signedFault.clear();
    const std::string partial = cache_.partialPath(job.url);
    handlers.onResponse = [&job, partial, next = std::move(handlers.onResponse)](const HttpClient::Response& response) {
        if (next && !next(response)) return false;
        if (response.status != 206) return true;
        FileDescriptor held = FileDescriptor::openForReading(partial);
        return held.get() >= 0 && job.digest->updateFromFile(held.get(), *response.rangeStart) &&
               job.digest->length() == *response.rangeStart;
    };
    handlers.onData = [&job, next = std::move(handlers.onData)](const char* data, std::size_t size) {
        job.digest->update(data, size);
        if (job.digest->length() > job.signedAs->length) {
            job.signedFault = kLargerThanSigned;
            return false;
        }
        return next(data, size);
    };
}

// Without the cache the body goes straight into the staged file.
HttpClient::Handlers FileDownloader::Run::directHandlers(Job& job) {
    HttpClient::Handlers handlers;
    handlers.onResponse = [&job](const HttpClient::Response& response) {
        if (response.contentLength && !response.encoded()) job.total = *response.contentLength;
        if (job.staged.isOpen() || job.staged.open(job.target)) return true;
        job.writeError = errno;
        return false;
    };
    handlers.onData = [&job, this](const char* data, std::size_t size) {
        if (!job.staged.write(data, size)) {
            job.writeError = errno;
            return false;
        }
        job.received += size;
        progress_.report();
        return true;
    };
    return handlers;
}

// The answer's length as soon as its head is in (a resumed answer's held bytes count as done at
// once), and every byte over the wire for the rate.
void FileDownloader::Run::measure(Job& job, HttpClient::Handlers& handlers) {
    handlers.onResponse = [&job, this, begin = std::move(handlers.onResponse)](const HttpClient::Response& response) {
        if (begin && !begin(response)) return false;
        if (response.status == 206 && response.rangeStart) {
            job.resumed = job.received = *response.rangeStart;
            if (response.contentLength) job.total = *response.rangeStart + *response.contentLength;
        } else if (response.contentLength && !response.encoded()) {
            job.total = *response.contentLength;
        }
        progress_.report(job.resumed > 0);
        return true;
    };
    handlers.onData = [this, take = std::move(handlers.onData)](const char* data, std::size_t size) {
        progress_.addWireBytes(size);
        return !take || take(data, size);
    };
}

FileDownloader::Run::Next FileDownloader::Run::ended(Job& job, const HttpClient::Result& result,
                                                     std::string& failedName) {
    job.transferId = -1;
    --running_;
    if (result.outcome == HttpClient::Outcome::Stopped) {
        if (job.cached) (void)job.cached->finish(result);  // keeps the partial
        failedName = job.name;
        return Next::Stopped;
    }
    HttpClient::Result checked = result;
    if (job.signedAs && result.tooLarge) job.signedFault = kLargerThanSigned;
    if (job.digest && result.complete() && job.digest->finish(job.signedAs->name) != *job.signedAs)
        job.signedFault = "differs from the signed list";
    if (!job.signedFault.empty()) {
        checked.outcome = HttpClient::Outcome::Failed;
        checked.error = checked.reason = job.signedFault;
    }
    job.reason = checked.reason;
    const bool answered = checked.complete() || checked.outcome == HttpClient::Outcome::NotModified;
    if (!answered || !stage(job, checked)) return retryOrFail(job, checked, failedName);
    job.finished = true;
    --left_;
    staged_.push_back(&job);
    return staged_.size() >= kStagedGroup ? commit(failedName) : Next::Continue;
}

// Stages a finished file beside its target; false when it failed this attempt.
bool FileDownloader::Run::stage(Job& job, const HttpClient::Result& result) {
    if (!job.cached) {
        if (!openStaged(job)) return false;  // an empty body never opened the file
    } else {
        DownloadCache::Result stored = job.cached->finish(result);
        job.cached.reset();
        noteWriteErrors(job, stored);
        if (!stored.complete()) {
            job.reason = stored.reason;
            trace("cached download of " + job.url + " failed: " + stored.error);
            return false;
        }
        if (!stored.staged) {  // else the body was written once, into the staged file itself
            if (!openStaged(job)) return false;
            // A copy the server confirmed comes from an earlier run and is checked first.
            DownloadCache::CopyResult copied = cache_.copyInto(job.url, job.staged.fd(), !stored.transferred);
            if (copied != DownloadCache::CopyResult::Copied) {
                trace("cannot copy the cached " + job.url + " to " + job.target + ": " + std::strerror(errno));
                if (copied == DownloadCache::CopyResult::Damaged)
                    job.reason = "damaged cached copy";
                else
                    job.writeError = errno;
                job.staged.discard();
                return false;
            }
        }
    }
    // Starts the write-back now, so that the flush before naming finds little left to do.
    WriteBack::start(job.staged.fd(), 0, 0);
    job.total = job.received = std::max<std::uint64_t>(job.total, job.received);
    return true;
}

bool FileDownloader::Run::openStaged(Job& job) {
    if (job.staged.isOpen() || job.staged.open(job.target)) return true;
    job.writeError = errno;
    return false;
}

FileDownloader::Run::Next FileDownloader::Run::retryOrFail(Job& job, const HttpClient::Result& result,
                                                           std::string& failedName) {
    const bool wasCached = job.cached != nullptr;
    if (job.cached) noteWriteErrors(job, job.cached->finish(result));
    job.cached.reset();
    job.staged.discard();
    trace("download of " + job.url + " failed (attempt " + std::to_string(job.attempt) + "): " + result.error);
    // A body longer than allowed or not the signed file will be no better the next time; none
    // of it, nor of one that trickled, stays for a later attempt or run.
    const bool refused = result.tooLarge || !job.signedFault.empty();
    if (wasCached && (refused || result.tooSlow)) cache_.removeEntry(job.url);
    if (job.cacheFailed && job.writeError == 0) {
        // Its partial goes with it: a full cache disk must not stay full of our leftovers.
        cache_.removeEntry(job.url);
        cached_ = false;
        job.cacheFailed = false;
        job.notBefore = Clock::now();  // again at once, straight into the update folder
        return Next::Continue;
    }
    if (job.writeError != 0) {
        // Another attempt would meet the same disk: the player learns which folder at once.
        failedName = job.name;
        owner_.failureReason_ = writeFailureText(job.writeError, FileSystem::folderOf(job.target));
        owner_.failedWriting_ = true;
        return Next::Failed;
    }
    if (refused || job.attempt >= kAttempts) {
        // The run cannot succeed any more: the other transfers end here, their partials kept.
        failedName = job.name;
        owner_.failureReason_ = job.reason;
        owner_.notAsSigned_ = !job.signedFault.empty();
        return Next::Failed;
    }
    job.notBefore = Clock::now() + pauseBefore(job.attempt + 1);
    return Next::Continue;
}

// The files of the requests just sent, made while their answers are on the way.
void FileDownloader::Run::prepareFiles() {
    for (auto& job : jobs_) {
        if (job->transferId < 0) continue;
        if (job->cached)
            job->cached->prepare();
        else if (!job->staged.isOpen())
            (void)job->staged.open(job->target);  // on failure, the answer tries again
    }
}

// Only paused retries left: wait for the earliest instead of spinning.
void FileDownloader::Run::awaitEarliestRetry() {
    if (running_ != 0 || left_ == 0 || next_ < jobs_.size()) return;
    Clock::time_point earliest = Clock::time_point::max();
    for (const auto& job : jobs_)
        if (!job->finished) earliest = std::min(earliest, job->notBefore);
    while (Clock::now() < earliest && !context_.stopRequested)
        std::this_thread::sleep_for(std::min<Clock::duration>(earliest - Clock::now(), std::chrono::milliseconds(50)));
}

FileDownloader::Run::Next FileDownloader::Run::commit(std::string& failedName) {
    if (commitStaged(staged_, failedName, owner_.failureReason_)) return Next::Continue;
    owner_.failedWriting_ = true;
    return Next::Failed;
}

FileDownloader::Outcome FileDownloader::fetchAll(const std::vector<File>& files, bool useCache, std::string& failedName,
                                                 bool reportBytes) {
    return Run(*this, files, useCache, reportBytes).run(failedName);
}

int FileDownloader::downloadFile(const std::string& name, bool useCache) {
    if (context_.stopRequested) return PatchResult::kStopped;
    failureReason_.clear();
    failedWriting_ = false;
    PatchWindow* window = context_.dialog;
    if (window) window->setLabelText(IDC_ITEM_LABEL, name);

    // The patch list refuses such names already; this is the last line before the disk.
    if (!FileSystem::isSafeRelativeName(name, false) || AtomicFile::isTemporaryName(name)) {
        trace("refused server file name \"" + name + "\"");
        failureReason_ = "refused file name";
        return PatchResult::kListDownloadFailed;
    }
    if (FileSystem::fileExists(context_.layout.updateFolder() + name)) return PatchResult::kOk;
    // The patch list is never kept: a stale copy must not outlive a fresh fetch.
    if (!useCache) DownloadCache().removeEntry(urlFor(context_.patchBaseUrl, name));

    std::string failedName;
    switch (fetchAll({File{name, 0, kMaxListBytes}}, useCache, failedName)) {
        case Outcome::Done:
            return PatchResult::kOk;
        case Outcome::Stopped:
            return PatchResult::kStopped;
        case Outcome::Failed:
            break;
    }
    // The server is not to blame for a folder we cannot write.
    return failedWriting_ ? PatchResult::kFileUnreadable : PatchResult::kListDownloadFailed;
}

int FileDownloader::downloadPatchFiles(const std::vector<PatchListEntry>& entries) {
    if (context_.stopRequested) return PatchResult::kStopped;
    if (entries.empty()) return PatchResult::kNothingToFetch;
    failureReason_.clear();
    failedWriting_ = false;

    std::vector<File> files;
    for (const PatchListEntry& entry : entries) {
        if (!FileSystem::isSafeRelativeName(entry.fileName, false) || AtomicFile::isTemporaryName(entry.fileName)) {
            trace("refused server file name \"" + entry.fileName + "\"");
            if (context_.dialog)
                context_.dialog->messageBox(withReason(entry.fileName + " file download failed", "refused file name"),
                                            kCaption);
            return context_.stopRequested ? PatchResult::kStopped : PatchResult::kPatchFileMissing;
        }
        // A file already in the update folder is taken as it is.
        if (!FileSystem::fileExists(context_.layout.updateFolder() + entry.fileName))
            files.push_back(
                File{entry.fileName, entry.version, 0, manifest_ ? manifest_->find(entry.fileName) : nullptr});
    }
    if (files.empty()) return kAllFetched;

    std::string failedName;
    notAsSigned_ = false;
    Outcome outcome = fetchAll(files, true, failedName, true);
    if (outcome == Outcome::Done) return kAllFetched;
    // A file that is not as signed is refused in the words the verifier uses for one.
    if (outcome == Outcome::Failed && context_.dialog)
        context_.dialog->messageBox(notAsSigned_ ? failedName + ": " + PatchListVerifier::kNotVerifiedText
                                                 : withReason(failedName + " file download failed", failureReason_),
                                    kCaption);
    if (outcome == Outcome::Stopped && context_.dialog && !failedName.empty())
        context_.dialog->messageBox(failedName + " file download failed", kCaption);
    return context_.stopRequested ? PatchResult::kStopped : PatchResult::kPatchFileMissing;
}

std::string FileDownloader::writeFailureText(int error, const std::string& folder) {
    if (error == ENOSPC || error == EDQUOT) return "not enough free space on " + folder;
    return "cannot write " + folder + " (" + std::strerror(error) + ")";
}

void FileDownloader::forgetCachedFiles(const std::vector<PatchListEntry>& entries) const {
    DownloadCache cache;
    for (const PatchListEntry& entry : entries) cache.removeEntry(urlFor(context_.patchBaseUrl, entry.fileName));
}

void FileDownloader::pruneCache(int installedVersion) {
    std::uint64_t cap = DownloadCache::kDefaultMaxBytes;
    if (const char* text = std::getenv("NIMBREL_CACHE_MAX_BYTES"); text && *text)
        cap = std::strtoull(text, nullptr, 10);
    // A run that holds the cache may be using what a prune would take; the next success prunes.
    DownloadCache cache;
    if (!cache.ownFolder()) return;
    FolderLock cacheHold;
    if (cacheHold.acquire(cache.folder()) == FolderLock::Result::Held) return;
    cache.prune(installedVersion, cap);
}

}  // namespace nimbrel
