#include "platform/FlushedFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/FileDescriptor.h"

namespace nimbrel {

FlushedFile::~FlushedFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool FlushedFile::open(const std::string& path) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    written_ = started_ = 0;
    return fd_ >= 0;
}

bool FlushedFile::write(const char* data, std::size_t size) {
    if (fd_ < 0) return false;
    if (!FileDescriptor::writeAll(fd_, data, size)) return false;
    written_ += size;
    if (written_ - started_ >= kWriteBackStep) {
        // Only starts the write-back; errors surface in finish().
        ::sync_file_range(fd_, static_cast<off_t>(started_), static_cast<off_t>(written_ - started_),
                          SYNC_FILE_RANGE_WRITE);
        started_ = written_;
    }
    return true;
}

bool FlushedFile::finish() {
    if (fd_ < 0) return false;
    bool ok = ::sync_file_range(fd_, 0, 0,
                                SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER) == 0;
    // File systems without it (some network and FUSE ones) get the full flush instead.
    if (!ok && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == ESPIPE))
        ok = ::fdatasync(fd_) == 0;
    ok = ::close(fd_) == 0 && ok;
    fd_ = -1;
    return ok;
}

}  // namespace nimbrel
