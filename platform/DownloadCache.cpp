#include "platform/DownloadCache.h"

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/FileSystem.h"

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

// A crashed run leaves "<key>.part-<pid>-<n>" behind; once its process is gone it is garbage.
void removeOrphanedParts(const std::string& folder, const std::string& key) {
    auto entries = FileSystem::listFolder(folder);
    if (!entries) return;
    const std::string prefix = key + ".part-";
    for (const auto& entry : *entries) {
        if (entry.isDirectory || !entry.name.starts_with(prefix)) continue;
        long pid = std::strtol(entry.name.c_str() + prefix.size(), nullptr, 10);
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
    if (const char* env = std::getenv("HOME"); env && env[0] == '/') home = env;
    else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) home = pw->pw_dir;
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
    if (!std::getline(in, meta.url) || !std::getline(in, meta.etag) || !std::getline(in, meta.lastModified) ||
        !std::getline(in, size))
        return std::nullopt;
    // Two URLs with one hash must not answer for each other; a body of the wrong size is damaged.
    if (meta.url != url) return std::nullopt;
    char* end = nullptr;
    meta.size = std::strtoull(size.c_str(), &end, 10);
    if (end == size.c_str() || sizeOf(bodyPath(url)) != meta.size) return std::nullopt;
    return meta;
}

bool DownloadCache::writeMeta(const std::string& url, const Meta& meta) const {
    // Header values never hold line breaks (libcurl splits on them), so one line each is safe.
    std::ostringstream text;
    text << meta.url << '\n' << meta.etag << '\n' << meta.lastModified << '\n' << meta.size << '\n';
    return FileSystem::writeFileAtomically(folder_ + keyOf(url) + ".meta", text.str());
}

DownloadCache::Result DownloadCache::download(const std::string& url, const Progress& progress,
                                              const std::atomic<int>* stopFlag) {
    Result result;
    if (!ensureFolder()) {
        result.error = "cannot create the cache folder " + folder_;
        return result;
    }
    const std::string key = keyOf(url);
    removeOrphanedParts(folder_, key);
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
    HttpClient::Result fetched = client.getToFile(request, part, [&](std::uint64_t received, std::optional<std::uint64_t> total) {
        if (progress) progress(received, total.value_or(0));
    });
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
    const std::string metaPath = folder_ + key + ".meta";
    // The old validators go first: they must never describe the new body, nor the new ones the old.
    ::unlink(metaPath.c_str());
    // The meta file's atomic write flushes this folder, and with it the body's rename.
    if (::rename(part.c_str(), bodyPath(url).c_str()) != 0 || !writeMeta(url, fresh)) {
        ::unlink(part.c_str());
        ::unlink(metaPath.c_str());
        result.outcome = HttpClient::Outcome::Failed;
        result.error = "cannot store the cached copy of " + url;
        return result;
    }
    result.path = bodyPath(url);
    result.transferred = true;
    return result;
}

bool DownloadCache::removeEntry(const std::string& url) {
    const std::string metaPath = folder_ + keyOf(url) + ".meta";
    const std::string body = bodyPath(url);
    ::unlink(metaPath.c_str());
    ::unlink(body.c_str());
    return !sizeOf(metaPath) && !sizeOf(body);
}

}  // namespace nimbrel
