#include "engine/VerifiedFiles.h"

#include <unistd.h>

namespace nimbrel {

namespace {

bool haveProcFd() {
    static const bool have = ::access("/proc/self/fd", F_OK) == 0;
    return have;
}

}  // namespace

int VerifiedFiles::open(const std::string& path) {
    held_.erase(path);
    FileDescriptor file = FileDescriptor::openForReading(path);
    const int fd = file.get();
    if (fd < 0) return -1;
    if (haveProcFd() && held_.size() < kMaxHeld)
        held_.emplace(path, std::move(file));
    else
        unheld_ = std::move(file);
    return fd;
}

std::string VerifiedFiles::readPath(const std::string& path) const {
    auto it = held_.find(path);
    return it == held_.end() ? path : "/proc/self/fd/" + std::to_string(it->second.get());
}

}  // namespace nimbrel
