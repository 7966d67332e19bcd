#include "platform/FolderLock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <utility>

namespace nimbrel {

FolderLock::Result FolderLock::acquire(const std::string& folder) {
    if (held()) return Result::Acquired;
    // Read-only is enough for flock, so a folder on a read-only mount locks too.
    FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.isOpen()) return Result::Failed;
    const Result result = lockExclusive(fd.get());
    if (result == Result::Acquired) fd_ = std::move(fd);
    return result;
}

FolderLock::Result FolderLock::lockExclusive(int fd) {
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return Result::Acquired;
        if (errno != EINTR) break;
    }
    return errno == EWOULDBLOCK ? Result::Held : Result::Failed;
}

}  // namespace nimbrel
