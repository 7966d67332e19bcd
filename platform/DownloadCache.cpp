#include "platform/DownloadCache.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <vector>

#include "platform/DebugOutput.h"
#include "platform/FileDescriptor.h"
#include "platform/FileSystem.h"
#include "platform/WriteBack.h"
#include "platform/XdgPaths.h"

namespace nimbrel {

namespace {

constexpr const char* kChecksumPrefix = "crc32:";

std::uint64_t fnv1a(std::string_view text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

std::optional<std::uint64_t> sizeOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

bool createFolders(const std::string& folder) {
    for (size_t slash = folder.find('/', 1); slash != std::string::npos; slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash + 1);
        if (::mkdir(part.c_str(), 0700) != 0 && !(errno == EEXIST && FileSystem::isDirectory(part))) return false;
    }
    return FileSystem::isDirectory(folder);
}

// The validator a partial was fetched under: If-Range takes one, a strong ETag before a date.
std::string validatorOf(const HttpClient::Response& response) {
    if (!response.etag.empty() && !response.etag.starts_with("W/")) return response.etag;
    return response.lastModified;
}

std::string readSmallFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A partial's URL and validator ride on the partial itself as an extended attribute, and an
// entry's record on its body (no second file to create, flush and delete per download, which
// costs more than the download of a small archive); file systems without user attributes get
// a "-meta" file beside the partial and a ".meta" file beside the body.
constexpr const char* kValidatorAttribute = "user.nimbrel.validator";
constexpr const char* kEntryAttribute = "user.nimbrel.entry";

std::string readAttribute(const std::string& path, const char* name) {
    char buffer[8192];
    ssize_t n = ::getxattr(path.c_str(), name, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

void writePartialValidator(int fd, const std::string& partial, const std::string& text) {
    if (::fsetxattr(fd, kValidatorAttribute, text.data(), text.size(), 0) == 0) return;
    std::ofstream out(partial + "-meta", std::ios::binary | std::ios::trunc);
    out << text;
}

std::string readPartialValidator(const std::string& partial) {
    std::string text = readAttribute(partial, kValidatorAttribute);
    return text.empty() ? readSmallFile(partial + "-meta") : text;
}

// The version line of an entry's record (the sixth); 0 for records from before versions.
int versionInRecord(const std::string& record) {
    std::istringstream in(record);
    std::string line;
    for (int i = 0; i < 6 && std::getline(in, line); ++i)
        if (i == 5) return std::atoi(line.c_str());
    return 0;
}

}  // namespace

void Checksum::update(const char* data, std::size_t size) {
    crc_ = static_cast<std::uint32_t>(libdeflate_crc32(crc_, data, size));
}

DownloadCache::DownloadCache(std::string folder) : folder_(folder.empty() ? defaultFolder() : std::move(folder)) {
    if (!folder_.empty() && folder_.back() != '/') folder_ += '/';
}

bool DownloadCache::ownFolder() const {
    auto refuse = [&](const std::string& why) {
        DebugOutput::write("download cache not used: " + why + "\n");
        return false;
    };
    if (folder_.empty()) return refuse("no home folder to keep it in");
    if (!FileSystem::isDirectory(folder_) && !createFolders(folder_))
        return refuse("cannot make " + folder_ + ": " + std::strerror(errno));
    struct stat st {};
    if (::stat(folder_.c_str(), &st) != 0) return refuse(folder_ + ": " + std::strerror(errno));
    if (st.st_uid != ::geteuid())
        return refuse(folder_ + " belongs to user " + std::to_string(st.st_uid) + ", not to this one");
    if ((st.st_mode & 077) != 0 && ::chmod(folder_.c_str(), 0700) != 0)
        return refuse("cannot close " + folder_ + " to other users: " + std::strerror(errno));
    return true;
}

std::string DownloadCache::defaultFolder() { return XdgPaths::cacheFolder(); }

std::string DownloadCache::keyOf(const std::string& url) const {
    char buffer[17];
    std::snprintf(buffer, sizeof buffer, "%016llx", static_cast<unsigned long long>(fnv1a(url)));
    return buffer;
}

std::string DownloadCache::bodyPath(const std::string& url) const { return folder_ + keyOf(url) + ".body"; }

std::string DownloadCache::partialPath(const std::string& url) const { return folder_ + keyOf(url) + ".partial"; }

// Asked once per transfer: one look when the folder is there, the walk only when it is not.
bool DownloadCache::ensureFolder() const { return FileSystem::isDirectory(folder_) || createFolders(folder_); }

std::optional<DownloadCache::Meta> DownloadCache::readMeta(const std::string& url) const {
    std::string record = readAttribute(bodyPath(url), kEntryAttribute);
    if (record.empty()) record = readSmallFile(folder_ + keyOf(url) + ".meta");
    if (record.empty()) return std::nullopt;
    std::istringstream in(record);
    Meta meta;
    std::string size;
    std::string checksum;
    if (!std::getline(in, meta.url) || !std::getline(in, meta.etag) || !std::getline(in, meta.lastModified) ||
        !std::getline(in, size) || !std::getline(in, checksum))
        return std::nullopt;
    // Two URLs with one hash must not answer for each other; a body of the wrong size is damaged.
    if (meta.url != url) return std::nullopt;
    char* end = nullptr;
    meta.size = std::strtoull(size.c_str(), &end, 10);
    if (end == size.c_str() || sizeOf(bodyPath(url)) != meta.size) return std::nullopt;
    // Entries from before the CRC (16 hex digits of another sum) are not understood: fetched anew.
    const std::string prefix = kChecksumPrefix;
    if (checksum.size() != prefix.size() + 8 || checksum.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
    meta.checksum = std::strtoul(checksum.c_str() + prefix.size(), &end, 16);
    if (end != checksum.c_str() + checksum.size()) return std::nullopt;
    // Entries from before versions were recorded count as version 0: the first prune takes them.
    std::string version;
    if (std::getline(in, version)) meta.version = std::atoi(version.c_str());
    return meta;
}

std::string DownloadCache::recordOf(const Meta& meta) {
    // Header values never hold line breaks (libcurl splits on them), so one line each is safe.
    char checksum[32];
    std::snprintf(checksum, sizeof checksum, "%s%08lx", kChecksumPrefix, static_cast<unsigned long>(meta.checksum));
    std::ostringstream text;
    text << meta.url << '\n'
         << meta.etag << '\n'
         << meta.lastModified << '\n'
         << meta.size << '\n'
         << checksum << '\n'
         << meta.version << '\n';
    return text.str();
}

bool DownloadCache::writeMetaFile(const std::string& url, const std::string& record) const {
    const std::string path = folder_ + keyOf(url) + ".meta";
    // Written in place and not flushed: the caller removed the old one first, and a meta file
    // a crash tears no longer parses, or no longer matches its body's size and checksum, so
    // the entry is fetched anew.
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << record;
    file.close();
    if (!file) {
        ::unlink(path.c_str());
        return false;
    }
    return true;
}

DownloadCache::Transfer::Transfer(DownloadCache& cache, std::string url, int version, Progress progress)
    : cache_(cache), url_(std::move(url)), version_(version), progress_(std::move(progress)) {
    request.url = url_;
    const std::string partial = cache_.partialPath(url_);
    meta_ = cache_.readMeta(url_);
    if (meta_) {
        request.ifNoneMatch = meta_->etag;
        request.ifModifiedSince = meta_->lastModified;
        ::unlink(partial.c_str());  // the entry is the newer word on this URL
    } else if (std::optional<std::uint64_t> held = sizeOf(partial); held && *held > 0) {
        // "<url>\n<validator>\n": a partial without both was never resumable.
        std::istringstream partialMeta(readPartialValidator(partial));
        std::string url;
        std::string validator;
        if (std::getline(partialMeta, url) && std::getline(partialMeta, validator) && url == url_ &&
            !validator.empty()) {
            request.rangeFrom = *held;
            request.ifRange = validator;
        }
    }
    handlers.onResponse = [this](const HttpClient::Response& response) { return begin(response); };
    handlers.onData = [this](const char* data, std::size_t size) { return append(data, size); };
}

DownloadCache::Transfer::~Transfer() {
    if (fd_ < 0) return;
    ::close(fd_);
    // A file made ahead for an answer that never came holds nothing worth resuming.
    if (linked_ && held_ == 0) ::unlink(cache_.partialPath(url_).c_str());
}

void DownloadCache::Transfer::prepare() {
    // Only a fresh fetch is sure to want the staged file: a resumed body continues the held
    // bytes, and a revalidated entry is mostly confirmed without one.
    if (!staged_ || fd_ >= 0 || meta_ || request.rangeFrom > 0 || !cache_.ensureFolder()) return;
    linkStaged(cache_.partialPath(url_));
}

void DownloadCache::Transfer::linkStaged(const std::string& partial) {
    linkTried_ = true;
    linked_ = false;
    if (!cache_.onOtherFileSystem_ && (staged_->isOpen() || staged_->open(target_))) {
        // One write for both: the update folder's temporary is also the partial, so a killed
        // run still leaves its bytes with the cache, and a finished one has nothing to copy.
        ::unlink(partial.c_str());
        linked_ = ::link(staged_->temporaryPath().c_str(), partial.c_str()) == 0;
        // The staged file stays open and empty: the body is copied into it from the entry.
        if (!linked_) cache_.onOtherFileSystem_ = errno == EXDEV;  // the next files need not try
    }
    if (linked_) fd_ = ::dup(staged_->fd());
}

void DownloadCache::Transfer::stageInto(AtomicFile& file, const std::string& target) {
    staged_ = &file;
    target_ = target;
}

bool DownloadCache::Transfer::writeFailed(bool staged) {
    failedWrite_ = true;
    writeError_ = errno != 0 ? errno : EIO;
    stagedWriteFailed_ = staged;
    return false;
}

bool DownloadCache::Transfer::begin(const HttpClient::Response& response) {
    if (!cache_.ensureFolder()) return writeFailed(false);
    const std::string partial = cache_.partialPath(url_);
    const std::string partialMeta = partial + "-meta";
    if (response.status == 206) {
        // The server confirmed the held bytes: they count, and the checksum has to see them.
        fd_ = ::open(partial.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
        if (fd_ < 0) return writeFailed(false);
        held_ = request.rangeFrom;
        std::unique_ptr<char[]> buffer(new char[256 * 1024]);
        std::uint64_t read = 0;
        while (read < held_) {
            ssize_t n = ::pread(fd_, buffer.get(), 256 * 1024, static_cast<off_t>(read));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            checksum_.update(buffer.get(), static_cast<std::size_t>(n));
            read += static_cast<std::uint64_t>(n);
        }
        if (response.contentLength) {
            expected_ = held_ + *response.contentLength;
            lengthKnown_ = !response.rangeTotal || *response.rangeTotal == expected_;
            if (!lengthKnown_) return false;
        }
        return true;
    }
    // A whole body: whatever was held belongs to another version of the file. The validator
    // is recorded before the first byte, so held bytes always match the one they name.
    ::unlink(partialMeta.c_str());
    held_ = 0;
    writtenBack_ = 0;
    if (!linked_) {  // else prepare() made the file while the request was out
        // Where prepare() found that the two folders cannot share a file, it is not tried again.
        if (staged_ && !linkTried_) linkStaged(partial);
        if (!linked_) fd_ = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd_ >= 0 && !linked_) ::fremovexattr(fd_, kValidatorAttribute);
    }
    if (fd_ < 0) return writeFailed(false);
    if (response.contentLength && !response.encoded()) {
        expected_ = *response.contentLength;
        lengthKnown_ = true;
    }
    // A compressed body cannot be resumed: its ranges count bytes we never see.
    if (const std::string validator = validatorOf(response); !validator.empty() && !response.encoded())
        writePartialValidator(fd_, partial, url_ + "\n" + validator + "\n");
    return true;
}

bool DownloadCache::Transfer::append(const char* data, std::size_t size) {
    if (linked_ ? !staged_->write(data, size) : !FileDescriptor::writeAll(fd_, data, size)) return writeFailed(linked_);
    checksum_.update(data, size);
    held_ += size;
    // A staged file is flushed before it is named: its write-back starts as it grows, so
    // that the disk works while the network does and the flush finds little left.
    constexpr std::uint64_t kWriteBackStep = 1u << 20;
    if (linked_ && held_ - writtenBack_ >= kWriteBackStep) {
        WriteBack::start(fd_, writtenBack_, held_ - writtenBack_);
        writtenBack_ = held_;
    }
    if (progress_) progress_(held_, lengthKnown_ ? expected_ : 0);
    return true;
}

DownloadCache::Result DownloadCache::Transfer::finish(const HttpClient::Result& fetched) {
    Result result;
    result.outcome = fetched.outcome;
    result.error = fetched.error;
    result.reason = fetched.reason;
    const bool writing = fd_ >= 0;
    closeFile();
    if (failedWrite_) {
        result.outcome = HttpClient::Outcome::Failed;
        result.error = "cannot write " + cache_.partialPath(url_) + ": " + std::strerror(writeError_);
        result.reason = "cannot write the download cache";
        (stagedWriteFailed_ ? result.stagedWriteError : result.cacheWriteError) = writeError_;
    }
    if (result.outcome == HttpClient::Outcome::NotModified) return confirm(result);
    if (!result.complete()) {
        dropUnresumable(fetched.response.status);
        return result;
    }
    if (lengthKnown_ && held_ != expected_) {
        result.outcome = HttpClient::Outcome::Failed;
        result.error = "the file has " + std::to_string(held_) + " bytes, not " + std::to_string(expected_);
        result.reason = "transfer cut short";
        removePartial();
        return result;
    }
    if (!writing && !begin(fetched.response)) {  // an empty body never called the handlers
        result.outcome = HttpClient::Outcome::Failed;
        result.error = result.reason = "cannot write the download cache";
        result.cacheWriteError = writeError_ != 0 ? writeError_ : EIO;
        return result;
    }
    closeFile();
    return store(fetched.response, result);
}

void DownloadCache::Transfer::closeFile() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void DownloadCache::Transfer::removePartial() const {
    const std::string partial = cache_.partialPath(url_);
    ::unlink(partial.c_str());
    ::unlink((partial + "-meta").c_str());
}

// The server confirmed the entry (304): it counts as used now.
DownloadCache::Result DownloadCache::Transfer::confirm(Result result) {
    if (!meta_) {
        if (linked_) ::unlink(cache_.partialPath(url_).c_str());  // made ahead, never written
        result.outcome = HttpClient::Outcome::Failed;
        result.error = result.reason = "the server confirmed a copy the cache does not hold";
        return result;
    }
    if (progress_) progress_(meta_->size, meta_->size);
    ::utimensat(AT_FDCWD, cache_.bodyPath(url_).c_str(), nullptr, 0);  // recently used
    result.outcome = HttpClient::Outcome::Complete;
    result.path = cache_.bodyPath(url_);
    return result;
}

// A failed or stopped transfer keeps its partial for the next attempt or run, unless it never
// held a byte worth resuming. A range the server would not fit to the held bytes means they
// are not worth keeping either.
void DownloadCache::Transfer::dropUnresumable(long status) const {
    if (sizeOf(cache_.partialPath(url_)).value_or(0) == 0 || status == 206 || status == 416) removePartial();
}

// Turns the whole partial into the entry, its record with it.
DownloadCache::Result DownloadCache::Transfer::store(const HttpClient::Response& response, Result result) {
    Meta fresh;
    fresh.url = url_;
    fresh.etag = response.etag;
    fresh.lastModified = response.lastModified;
    fresh.size = held_;
    fresh.checksum = checksum_.value();
    fresh.version = version_;
    const std::string partial = cache_.partialPath(url_);
    const std::string metaPath = cache_.folder_ + cache_.keyOf(url_) + ".meta";
    const std::string record = recordOf(fresh);
    // The old validators go first: they must never describe the new body, nor the new ones the
    // old. The record goes onto the partial before its rename, so the entry appears with it.
    // No flush here: a body torn by a power cut fails its checksum when next copied out.
    ::unlink(metaPath.c_str());
    ::unlink((partial + "-meta").c_str());
    ::removexattr(partial.c_str(), kValidatorAttribute);
    const bool recorded = ::setxattr(partial.c_str(), kEntryAttribute, record.data(), record.size(), 0) == 0;
    if (::rename(partial.c_str(), cache_.bodyPath(url_).c_str()) != 0 ||
        (!recorded && !cache_.writeMetaFile(url_, record))) {
        result.cacheWriteError = errno != 0 ? errno : EIO;
        ::unlink(partial.c_str());
        ::unlink(metaPath.c_str());
        result.outcome = HttpClient::Outcome::Failed;
        result.error = "cannot store the cached copy of " + url_;
        result.reason = "cannot write the download cache";
        return result;
    }
    // Without a Content-Length the sink had nothing to scale by until now.
    if (progress_ && !lengthKnown_) progress_(fresh.size, fresh.size);
    result.path = cache_.bodyPath(url_);
    result.transferred = true;
    result.staged = linked_;
    return result;
}

DownloadCache::CopyResult DownloadCache::copyInto(const std::string& url, int destinationFd, bool verify) {
    std::optional<Meta> meta = readMeta(url);
    if (!meta) return CopyResult::Failed;
    FileDescriptor in = FileDescriptor::openForReading(bodyPath(url));
    if (in.get() < 0) return CopyResult::Failed;
    if (verify) {
        Checksum checksum;
        std::uint64_t seen = 0;
        std::unique_ptr<char[]> buffer(new char[256 * 1024]);
        for (;;) {
            ssize_t n = ::pread(in.get(), buffer.get(), 256 * 1024, static_cast<off_t>(seen));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return CopyResult::Failed;
            if (n == 0) break;
            checksum.update(buffer.get(), static_cast<std::size_t>(n));
            seen += static_cast<std::uint64_t>(n);
        }
        if (seen != meta->size || checksum.value() != meta->checksum) {
            removeEntry(url);
            return CopyResult::Damaged;
        }
    }
    std::uint64_t copied = 0;
    while (copied < meta->size) {
        ssize_t n = ::copy_file_range(in.get(), nullptr, destinationFd, nullptr, meta->size - copied, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // Older kernels refuse copies across file systems: fall back to reading and writing.
            if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL) && copied == 0)
                break;
            return CopyResult::Failed;
        }
        copied += static_cast<std::uint64_t>(n);
    }
    std::unique_ptr<char[]> buffer;
    while (copied < meta->size) {
        if (!buffer) buffer.reset(new char[256 * 1024]);
        ssize_t n = ::pread(in.get(), buffer.get(), 256 * 1024, static_cast<off_t>(copied));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || !FileDescriptor::writeAll(destinationFd, buffer.get(), static_cast<std::size_t>(n)))
            return CopyResult::Failed;
        copied += static_cast<std::uint64_t>(n);
    }
    ::utimensat(AT_FDCWD, bodyPath(url).c_str(), nullptr, 0);  // recently used
    return CopyResult::Copied;
}

void DownloadCache::prune(int installedVersion, std::uint64_t maxBytes) {
    if (folder_.empty()) return;
    auto entries = FileSystem::listFolder(folder_);
    if (!entries) return;
    struct Held {
        std::string key;
        std::uint64_t bytes = 0;
        std::int64_t usedAt = 0;
    };
    std::map<std::string, Held> byKey;
    std::vector<std::string> installed;
    for (const auto& entry : *entries) {
        if (entry.isDirectory) continue;
        size_t dot = entry.name.find('.');
        if (dot != 16) continue;  // only our "<16 hex digits>.<kind>" files
        const std::string key = entry.name.substr(0, dot);
        const std::string kind = entry.name.substr(dot + 1);
        const std::string path = folder_ + entry.name;
        std::string record;
        if (kind == "body") record = readAttribute(path, kEntryAttribute);
        if (kind == "meta") record = readSmallFile(path);
        if (!record.empty()) {
            // The entries of what is now installed will not be asked for again.
            if (versionInRecord(record) <= installedVersion) {
                installed.push_back(folder_ + key + ".body");
                installed.push_back(folder_ + key + ".meta");
                byKey.erase(key);
                continue;
            }
        }
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) continue;
        Held& held = byKey[key];
        held.key = key;
        held.bytes += static_cast<std::uint64_t>(st.st_size);
        held.usedAt = std::max<std::int64_t>(
            held.usedAt, static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec);
    }
    FileSystem::deleteFilesForce(installed);
    std::vector<Held> all;
    std::uint64_t total = 0;
    for (auto& [key, held] : byKey) {
        if (!FileSystem::fileExists(folder_ + key + ".body") && !FileSystem::fileExists(folder_ + key + ".partial")) {
            ::unlink((folder_ + key + ".meta").c_str());
            ::unlink((folder_ + key + ".partial-meta").c_str());
            continue;
        }
        total += held.bytes;
        all.push_back(held);
    }
    std::sort(all.begin(), all.end(), [](const Held& a, const Held& b) { return a.usedAt < b.usedAt; });
    for (const Held& held : all) {
        if (total <= maxBytes) break;
        for (const char* kind : {".meta", ".body", ".partial", ".partial-meta"})
            ::unlink((folder_ + held.key + kind).c_str());
        total -= held.bytes;
    }
}

bool DownloadCache::removeEntry(const std::string& url) {
    if (folder_.empty()) return true;
    const std::string key = folder_ + keyOf(url);
    // The partial too: resumed, a damaged start would be completed into a damaged whole.
    for (const char* kind : {".meta", ".body", ".partial", ".partial-meta"}) ::unlink((key + kind).c_str());
    return !sizeOf(key + ".meta") && !sizeOf(key + ".body");
}

}  // namespace nimbrel
