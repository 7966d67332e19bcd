#include "platform/DownloadCache.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>

#include "platform/FileDescriptor.h"
#include "platform/FileSystem.h"
#include "platform/FlushedFile.h"

namespace nimbrel {

namespace {

constexpr const char* kProgramFolder = "nimbrel/";

std::uint64_t fnv1a(std::string_view text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

// Catches torn and zero-filled content, not malice: 64 bits mixed a word at a time, with the
// odd bytes of each piece carried to the next so that any split of the stream gives one value.
class Checksum {
public:
    void update(const char* data, std::size_t size) {
        while (size > 0 && pending_ > 0 && pending_ < 8) {
            carry_[pending_++] = *data++;
            --size;
        }
        if (pending_ == 8) {
            mix(carry_);
            pending_ = 0;
        }
        for (; size >= 8; data += 8, size -= 8) mix(data);
        while (size > 0) {
            carry_[pending_++] = *data++;
            --size;
        }
    }
    std::uint64_t value() const {
        std::uint64_t h = hash_;
        for (std::size_t i = 0; i < pending_; ++i) h = (h ^ static_cast<unsigned char>(carry_[i])) * kPrime;
        return (h ^ length_) * kPrime;
    }

private:
    static constexpr std::uint64_t kPrime = 0x100000001b3ull;
    void mix(const char* word) {
        std::uint64_t w;
        std::memcpy(&w, word, 8);
        hash_ = ((hash_ ^ w) * kPrime) ^ (hash_ >> 29);
        length_ += 8;
    }
    std::uint64_t hash_ = 0xcbf29ce484222325ull;
    std::uint64_t length_ = 0;
    char carry_[8] = {};
    std::size_t pending_ = 0;
};

std::optional<std::uint64_t> sizeOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

bool createFolders(const std::string& folder) {
    for (size_t slash = folder.find('/', 1); slash != std::string::npos; slash = folder.find('/', slash + 1))
        if (!FileSystem::createDirectory(folder.substr(0, slash + 1))) return false;
    return FileSystem::isDirectory(folder);
}

// A crashed run leaves "<key>.part-<pid>-<n>" and "<key>.meta.new-<pid>" behind; once their
// process is gone they are garbage. One sweep per folder and process is enough.
void removeOrphanedTemporaries(const std::string& folder) {
    static std::mutex lock;
    static std::set<std::string> swept;
    {
        std::lock_guard guard(lock);
        if (!swept.insert(folder).second) return;
    }
    auto entries = FileSystem::listFolder(folder);
    if (!entries) return;
    for (const auto& entry : *entries) {
        if (entry.isDirectory) continue;
        size_t mark = entry.name.find(".part-");
        if (mark != std::string::npos)
            mark += 6;
        else if ((mark = entry.name.find(".meta.new-")) != std::string::npos)
            mark += 10;
        else
            continue;
        long pid = std::strtol(entry.name.c_str() + mark, nullptr, 10);
        if (pid > 0 && pid != ::getpid() && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            ::unlink((folder + entry.name).c_str());
    }
}

}  // namespace

DownloadCache::DownloadCache(std::string folder) : folder_(folder.empty() ? defaultFolder() : std::move(folder)) {
    if (!folder_.empty() && folder_.back() != '/') folder_ += '/';
}

std::string DownloadCache::defaultFolder() {
    // A relative XDG_CACHE_HOME is invalid and ignored, as the base-directory rules say.
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg && xdg[0] == '/') {
        std::string base = xdg;
        if (base.back() != '/') base += '/';
        return base + kProgramFolder;
    }
    std::string home;
    if (const char* env = std::getenv("HOME"); env && env[0] == '/')
        home = env;
    else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
        home = pw->pw_dir;
    if (home.empty()) home = "/tmp";
    if (home.back() != '/') home += '/';
    return home + ".cache/" + kProgramFolder;
}

std::string DownloadCache::keyOf(const std::string& url) const {
    char buffer[17];
    std::snprintf(buffer, sizeof buffer, "%016llx", static_cast<unsigned long long>(fnv1a(url)));
    return buffer;
}

std::string DownloadCache::bodyPath(const std::string& url) const { return folder_ + keyOf(url) + ".body"; }

bool DownloadCache::ensureFolder() const { return createFolders(folder_); }

std::optional<DownloadCache::Meta> DownloadCache::readMeta(const std::string& url) const {
    std::ifstream in(folder_ + keyOf(url) + ".meta", std::ios::binary);
    if (!in) return std::nullopt;
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
    meta.checksum = std::strtoull(checksum.c_str(), &end, 16);
    if (checksum.size() != 16 || end != checksum.c_str() + 16) return std::nullopt;
    return meta;
}

bool DownloadCache::writeMeta(const std::string& url, const Meta& meta) const {
    // Header values never hold line breaks (libcurl splits on them), so one line each is safe.
    char checksum[17];
    std::snprintf(checksum, sizeof checksum, "%016llx", static_cast<unsigned long long>(meta.checksum));
    std::ostringstream text;
    text << meta.url << '\n' << meta.etag << '\n' << meta.lastModified << '\n' << meta.size << '\n' << checksum << '\n';
    const std::string content = text.str();
    const std::string path = folder_ + keyOf(url) + ".meta";
    const std::string temporary = path + ".new-" + std::to_string(::getpid());
    FlushedFile file;
    if (!file.open(temporary) || !file.write(content.data(), content.size()) || !file.finish() ||
        ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

DownloadCache::Result DownloadCache::download(const std::string& url, const Progress& progress,
                                              const std::atomic<int>* stopFlag) {
    Result result;
    if (!ensureFolder()) {
        result.error = "cannot create the cache folder " + folder_;
        return result;
    }
    const std::string key = keyOf(url);
    removeOrphanedTemporaries(folder_);
    std::optional<Meta> meta = readMeta(url);

    HttpClient::Request request;
    request.url = url;
    request.stopFlag = stopFlag;
    if (meta) {
        request.ifNoneMatch = meta->etag;
        request.ifModifiedSince = meta->lastModified;
    }
    static std::atomic<unsigned> counter{0};
    const std::string part = folder_ + key + ".part-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);

    HttpClient client;
    client.setTimeouts(timeouts_);
    Checksum checksum;
    HttpClient::Result fetched = client.getToFile(
        request, part,
        [&](std::uint64_t received, std::optional<std::uint64_t> total) {
            if (progress) progress(received, total.value_or(0));
        },
        [&checksum](const char* data, std::size_t size) { checksum.update(data, size); });
    result.outcome = fetched.outcome;
    result.error = fetched.error;

    if (fetched.outcome == HttpClient::Outcome::NotModified) {
        ::unlink(part.c_str());
        if (!meta) {
            result.outcome = HttpClient::Outcome::Failed;
            result.error = "the server confirmed a copy the cache does not hold";
            return result;
        }
        if (progress) progress(meta->size, meta->size);
        result.outcome = HttpClient::Outcome::Complete;
        result.path = bodyPath(url);
        return result;
    }
    if (!fetched.complete()) {
        ::unlink(part.c_str());
        return result;
    }

    Meta fresh;
    fresh.url = url;
    fresh.etag = fetched.response.etag;
    fresh.lastModified = fetched.response.lastModified;
    fresh.size = fetched.bodyBytes;
    fresh.checksum = checksum.value();
    const std::string metaPath = folder_ + key + ".meta";
    // The old validators go first: they must never describe the new body, nor the new ones the old.
    ::unlink(metaPath.c_str());
    if (::rename(part.c_str(), bodyPath(url).c_str()) != 0 || !writeMeta(url, fresh)) {
        ::unlink(part.c_str());
        ::unlink(metaPath.c_str());
        result.outcome = HttpClient::Outcome::Failed;
        result.error = "cannot store the cached copy of " + url;
        return result;
    }
    // Without a Content-Length the sink had nothing to scale by until now.
    if (progress && !fetched.response.contentLength) progress(fresh.size, fresh.size);
    result.path = bodyPath(url);
    result.transferred = true;
    return result;
}

DownloadCache::CopyResult DownloadCache::copyTo(const std::string& url, const std::string& destination) {
    std::optional<Meta> meta = readMeta(url);
    if (!meta) return CopyResult::Failed;
    FileDescriptor in = FileDescriptor::openForReading(bodyPath(url));
    if (in.get() < 0) return CopyResult::Failed;
    FlushedFile out;
    bool written = out.open(destination);
    Checksum checksum;
    std::uint64_t copied = 0;
    static constexpr std::size_t kBuffer = 256 * 1024;
    std::unique_ptr<char[]> buffer(new char[kBuffer]);
    bool readError = false;
    while (written) {
        ssize_t n = ::read(in.get(), buffer.get(), kBuffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) readError = true;
        if (n <= 0) break;
        checksum.update(buffer.get(), static_cast<std::size_t>(n));
        copied += static_cast<std::uint64_t>(n);
        written = out.write(buffer.get(), static_cast<std::size_t>(n));
    }
    if (!written || readError) return CopyResult::Failed;
    if (copied != meta->size || checksum.value() != meta->checksum) {
        removeEntry(url);
        return CopyResult::Damaged;
    }
    return out.finish() ? CopyResult::Copied : CopyResult::Failed;
}

bool DownloadCache::removeEntry(const std::string& url) {
    const std::string metaPath = folder_ + keyOf(url) + ".meta";
    const std::string body = bodyPath(url);
    ::unlink(metaPath.c_str());
    ::unlink(body.c_str());
    return !sizeOf(metaPath) && !sizeOf(body);
}

}  // namespace nimbrel
