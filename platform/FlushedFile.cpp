#include "platform/FlushedFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/FileDescriptor.h"
#include "platform/WriteBack.h"

namespace nimbrel {

bool FlushedFile::open(const std::string& path) {
    fd_ = FileDescriptor(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    written_ = started_ = 0;
    return fd_.isOpen();
}

bool FlushedFile::write(const char* data, std::size_t size) {
    if (!fd_.isOpen()) return false;
    if (!fd_.writeAll(data, size)) return false;
    written_ += size;
    if (written_ - started_ >= kWriteBackStep) {
        // Only starts the write-back; errors surface in finish().
        WriteBack::start(fd_.get(), started_, written_ - started_);
        started_ = written_;
    }
    return true;
}

bool FlushedFile::finish() {
    if (!fd_.isOpen()) return false;
    bool ok = ::sync_file_range(fd_.get(), 0, 0,
                                SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER) == 0;
    // File systems without it (some network and FUSE ones) get the full flush instead.
    if (!ok && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == ESPIPE))
        ok = ::fdatasync(fd_.get()) == 0;
    return fd_.close() && ok;
}

}  // namespace nimbrel
