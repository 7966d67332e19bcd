#include "platform/AtomicFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <random>
#include <vector>

#include "platform/FileSystem.h"

namespace nimbrel {
namespace {

constexpr const char* kPrefix = ".nimbrel-";
constexpr const char* kSuffix = ".tmp";

bool syncFolderOf(const std::string& path) {
    std::string folder = FileSystem::folderOf(path);
    return FileSystem::syncPath(folder.empty() ? "." : folder);
}

}  // namespace

AtomicFile::~AtomicFile() { discard(); }

AtomicFile::AtomicFile(AtomicFile&& other) noexcept
    : fd_(std::move(other.fd_)),
      target_(std::move(other.target_)),
      temporary_(std::move(other.temporary_)),
      written_(other.written_),
      flushed_(other.flushed_) {
    other.temporary_.clear();
}

AtomicFile& AtomicFile::operator=(AtomicFile&& other) noexcept {
    if (this != &other) {
        discard();
        fd_ = std::move(other.fd_);
        target_ = std::move(other.target_);
        temporary_ = std::move(other.temporary_);
        written_ = other.written_;
        flushed_ = other.flushed_;
        other.temporary_.clear();
    }
    return *this;
}

bool AtomicFile::open(const std::string& target, mode_t mode) {
    discard();
    target_ = target;
    written_ = 0;
    flushed_ = false;
    // Our own unique name rather than mkstemp's 0600 file, so that open(2) applies the umask
    // itself: reading the umask means setting it, which races with other threads creating files.
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static thread_local std::mt19937_64 random{std::random_device{}()};
    const std::string folder = FileSystem::folderOf(target);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string path = folder + kPrefix;
        for (int i = 0; i < 8; ++i) path += kLetters[random() % (sizeof kLetters - 1)];
        path += kSuffix;
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) {
            fd_ = FileDescriptor(fd);
            temporary_ = std::move(path);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;  // errno is EEXIST
}

bool AtomicFile::write(const void* data, std::size_t size) {
    if (!fd_.isOpen()) return false;
    if (!fd_.writeAll(data, size)) return false;
    written_ += size;
    flushed_ = false;
    return true;
}

bool AtomicFile::setMode(mode_t mode) { return fd_.isOpen() && ::fchmod(fd_.get(), mode & 07777) == 0; }

bool AtomicFile::flush() {
    if (!fd_.isOpen()) return false;
    if (!flushed_) flushed_ = ::fdatasync(fd_.get()) == 0;
    return flushed_;
}

bool AtomicFile::commit(Commit mode, Flush flushing) {
    bool renamed = fd_.isOpen() && (flushing == Flush::Skip || flush()) && fd_.close() &&
                   (mode == Commit::Replace ? ::rename(temporary_.c_str(), target_.c_str()) == 0
                                            : renameNoReplace(temporary_, target_));
    if (!renamed) {
        // The caller reports why the write failed, so the clean-up must not change errno.
        int saved = errno;
        discard();
        errno = saved;
        return false;
    }
    temporary_.clear();
    if (flushing == Flush::Now) syncFolderOf(target_);
    return true;
}

int AtomicFile::commitTogether(const std::vector<AtomicFile*>& files, Commit mode) {
    // Each file's data is written back and waited for (its write-back was usually started long
    // before), without a journal commit per file; the renames and the files' sizes then reach
    // the disk with one flush of each folder, which in ordered journalling comes after the data.
    std::vector<std::string> folders;
    for (std::size_t i = 0; i < files.size(); ++i) {
        AtomicFile& file = *files[i];
        if (!file.fd_.isOpen()) return static_cast<int>(i);
        const int fd = file.fd_.get();
        bool written =
            ::sync_file_range(fd, 0, 0,
                              SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER) == 0;
        // File systems without it (some network and FUSE ones) get the full flush instead.
        if (!written && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == ESPIPE))
            written = ::fdatasync(fd) == 0;
        if (!written || !file.fd_.close()) {
            int saved = errno;
            file.discard();
            errno = saved;
            return static_cast<int>(i);
        }
        bool renamed =
            mode == Commit::Replace
                ? ::rename(file.temporary_.c_str(), file.target_.c_str()) == 0
                : ::renameat2(AT_FDCWD, file.temporary_.c_str(), AT_FDCWD, file.target_.c_str(), RENAME_NOREPLACE) ==
                          0 ||
                      ((errno == EINVAL || errno == ENOSYS) && renameNoReplace(file.temporary_, file.target_));
        if (!renamed) {
            int saved = errno;
            file.discard();
            errno = saved;
            return static_cast<int>(i);
        }
        file.temporary_.clear();
        std::string folder = FileSystem::folderOf(file.target_);
        if (std::find(folders.begin(), folders.end(), folder) == folders.end()) folders.push_back(folder);
    }
    for (const std::string& folder : folders) FileSystem::syncPath(folder.empty() ? "." : folder);
    return -1;
}

void AtomicFile::discard() {
    fd_.reset();
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
    temporary_.clear();
}

bool AtomicFile::renameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno != EINVAL && errno != ENOSYS) return false;
        // File systems without RENAME_NOREPLACE: link() refuses an existing target just as well.
        if (::link(from.c_str(), to.c_str()) != 0) return false;
        ::unlink(from.c_str());
    }
    syncFolderOf(to);
    return true;
}

bool AtomicFile::isTemporaryName(const std::string& name) {
    const std::string prefix = kPrefix, suffix = kSuffix;
    return name.size() > prefix.size() + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

int AtomicFile::removeLeftovers(const std::string& folder) {
    // Names only, no look at each file: game folders can hold thousands, and unlink(2) refuses
    // a folder that happens to bear such a name.
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return 0;
    std::vector<std::string> leftovers;
    while (const dirent* entry = ::readdir(dir))
        if (isTemporaryName(entry->d_name)) leftovers.push_back(folder + entry->d_name);
    ::closedir(dir);
    int removed = 0;
    for (const auto& path : leftovers) removed += ::unlink(path.c_str()) == 0 ? 1 : 0;
    return removed;
}

}  // namespace nimbrel
