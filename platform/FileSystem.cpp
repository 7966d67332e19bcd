#include "platform/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <system_error>
#include <thread>

#include "platform/FileDescriptor.h"
#include "platform/TextCodec.h"

namespace nimbrel {

bool FileSystem::fileExists(const std::string& path) {
    if (isDirectory(path)) return false;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    std::fclose(f);
    return true;
}

std::optional<std::string> FileSystem::readWholeFile(const std::string& path) {
    const FileDescriptor file = FileDescriptor::openForReading(path);
    if (!file.isOpen()) return std::nullopt;
    std::string bytes;
    char chunk[1 << 16];
    for (;;) {
        const ssize_t got = ::read(file.get(), chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) return bytes;
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
}

bool FileSystem::isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileSystem::createDirectory(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) == 0) return true;
    return errno == EEXIST && isDirectory(path);
}

bool FileSystem::createDirectories(const std::string& path) {
    if (path.empty() || isDirectory(path)) return true;
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    size_t slash = trimmed.rfind('/');
    if (slash != std::string::npos && slash > 0 && !createDirectories(trimmed.substr(0, slash))) return false;
    return createDirectory(trimmed);
}

std::optional<std::vector<FileSystem::FolderEntry>> FileSystem::listFolder(const std::string& folder) {
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return std::nullopt;
    std::vector<FolderEntry> entries;
    while (dirent* d = ::readdir(dir)) {
        FolderEntry entry;
        entry.name = d->d_name;
        struct stat st {};
        std::string full = folder + entry.name;
        if (::stat(full.c_str(), &st) == 0) {
            entry.isDirectory = S_ISDIR(st.st_mode);
            entry.size = static_cast<std::uint64_t>(st.st_size);
        }
        entries.push_back(std::move(entry));
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(),
              [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
    return entries;
}

bool FileSystem::isReadOnly(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IWUSR) == 0;
}

bool FileSystem::clearReadOnly(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    if (st.st_mode & S_IWUSR) return true;
    return ::chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0;
}

bool FileSystem::deleteFileForce(const std::string& path) {
    if (isDirectory(path)) return false;
    if (isReadOnly(path)) clearReadOnly(path);
    return ::unlink(path.c_str()) == 0;
}

void FileSystem::deleteFilesForce(const std::vector<std::string>& paths) {
    constexpr std::size_t kDeleters = 4;
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i; (i = next++) < paths.size();) deleteFileForce(paths[i]);
    };
    std::vector<std::thread> helpers;
    try {
        for (std::size_t t = 1; t < kDeleters && t * 2 < paths.size(); ++t) helpers.emplace_back(work);
    } catch (const std::system_error&) {
        // No thread to spare: the calling one deletes the rest alone.
    }
    work();
    for (auto& helper : helpers) helper.join();
}

bool FileSystem::syncPath(const std::string& path) {
    FileDescriptor fd(::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_CLOEXEC));
    return fd.isOpen() && ::fsync(fd.get()) == 0;
}

bool FileSystem::syncFileSystem(const std::string& path) {
    FileDescriptor fd(::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_CLOEXEC));
    return fd.isOpen() && ::syncfs(fd.get()) == 0;
}

bool FileSystem::replaceFile(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) return false;
    std::string folder = folderOf(to);
    syncPath(folder.empty() ? "." : folder);
    return true;
}

std::string FileSystem::folderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string FileSystem::nameOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool FileSystem::isSafeRelativeName(std::string_view name, bool allowSubfolders) {
    if (name.empty() || name.find('\0') != std::string_view::npos) return false;
    if (name.front() == '/' || name.front() == '\\') return false;
    if (name.size() >= 2 && name[1] == ':') return false;  // drive letter
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of("/\\", start);
        if (end == std::string_view::npos)
            end = name.size();
        else if (!allowSubfolders)
            return false;
        std::string_view part = name.substr(start, end - start);
        if (part == "." || part == "..") return false;
        if (part.empty() && end != name.size()) return false;  // "a//b"
        start = end + 1;
    }
    return true;
}

bool FileSystem::passesThroughLink(const std::string& folder, std::string_view name) {
    for (std::size_t slash = name.find_first_of("/\\"); slash != std::string_view::npos;
         slash = name.find_first_of("/\\", slash + 1)) {
        struct stat st {};
        std::string prefix = folder + std::string(name.substr(0, slash));
        for (char& c : prefix)
            if (c == '\\') c = '/';
        if (::lstat(prefix.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return true;
    }
    return false;
}

namespace {

std::string lowerAscii(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

bool isAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

std::optional<std::string> FileSystem::FolderListings::find(const std::string& folder, const std::string& name) {
    auto [it, added] = folders_.try_emplace(folder);
    Listing& listing = it->second;
    if (added)
        if (auto entries = listFolder(folder))
            for (auto& entry : *entries) {
                if (entry.name == "." || entry.name == "..") continue;
                listing.byLowerAscii.emplace(lowerAscii(entry.name), entry.name);
                listing.all.push_back(std::move(entry.name));
            }
    // An ASCII name's case variants share its lower case; any other is compared with all.
    if (isAscii(name)) {
        auto [from, to] = listing.byLowerAscii.equal_range(lowerAscii(name));
        for (auto candidate = from; candidate != to; ++candidate)
            if (TextCodec::equalsIgnoreCase(candidate->second, name)) return candidate->second;
        return std::nullopt;
    }
    for (const auto& found : listing.all)
        if (TextCodec::equalsIgnoreCase(found, name)) return found;
    return std::nullopt;
}

std::string FileSystem::resolveCase(const std::string& folder, std::string_view name, FolderListings* listings) {
    FolderListings once;
    FolderListings& known = listings ? *listings : once;
    std::string resolved;
    bool onDisk = true;  // every component so far exists
    for (std::size_t start = 0; start <= name.size();) {
        std::size_t end = name.find_first_of("/\\", start);
        if (end == std::string_view::npos) end = name.size();
        std::string part(name.substr(start, end - start));
        if (onDisk && !part.empty()) {
            struct stat st {};
            if (::lstat((folder + resolved + part).c_str(), &st) != 0) {
                auto found = known.find(folder + resolved, part);
                onDisk = found.has_value();
                if (found) part = *found;
            }
        }
        resolved += part;
        if (end < name.size()) resolved += '/';
        start = end + 1;
    }
    return resolved;
}

}  // namespace nimbrel
