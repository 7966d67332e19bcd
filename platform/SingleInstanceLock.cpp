#include "platform/SingleInstanceLock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "platform/FileSystem.h"
#include "platform/FolderLock.h"

namespace nimbrel {

namespace {

std::string folderFromEnvironment(const char* variable) {
    const char* value = std::getenv(variable);
    if (!value || !*value) return {};
    std::string folder(value);
    if (!FileSystem::isDirectory(folder)) return {};
    if (folder.back() != '/') folder += '/';
    return folder;
}

}  // namespace

SingleInstanceLock::SingleInstanceLock(std::string name) : name_(std::move(name)) {}

SingleInstanceLock::~SingleInstanceLock() { close(); }

std::string SingleInstanceLock::lockPath(const std::string& name) {
    std::string folder = folderFromEnvironment("XDG_RUNTIME_DIR");
    if (folder.empty()) folder = folderFromEnvironment("TMPDIR");
    if (folder.empty()) folder = "/tmp/";
    return folder + name + ".lock";
}

SingleInstanceLock::Result SingleInstanceLock::acquire() {
    if (held()) return Result::Acquired;
    const std::string path = lockPath(name_);
    // O_CLOEXEC: the game client and the self-updater we start must not inherit our hold on
    // the name, or they could never take it themselves. The file is never deleted: removing
    // it while another process opens it would let two holders lock two different files.
    FileDescriptor fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666));
    // A file another user made in a shared temporary folder may only be readable to us; a
    // read-only descriptor locks just as well.
    if (!fd.isOpen() && errno == EACCES) fd = FileDescriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.isOpen()) return Result::Failed;
    switch (FolderLock::lockExclusive(fd.get())) {
        case FolderLock::Result::Acquired:
            fd_ = std::move(fd);
            return Result::Acquired;
        case FolderLock::Result::Held:
            return Result::AlreadyExists;
        case FolderLock::Result::Failed:
            break;
    }
    return Result::Failed;
}

void SingleInstanceLock::release() { close(); }

void SingleInstanceLock::close() {
    fd_.reset();  // closing the last descriptor drops the flock
}

}  // namespace nimbrel
