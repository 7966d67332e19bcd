#pragma once
// An exclusive hold on a folder itself (flock on a descriptor of the folder), kept while a
// program writes there: the patcher on the game folder and its packed folders, qpak on the
// folder of the pack it writes. Unlike the single-instance name, which lives in the runtime
// folder of one user's session, it keeps out a run started by another user, by sudo or by
// cron, and it puts no file into a folder that a packing pass could pack.

#include <string>

#include "platform/FileDescriptor.h"

namespace nimbrel {

class FolderLock {
public:
    enum class Result {
        Acquired,  // we hold the folder now (or already did)
        Held,      // another program holds it
        Failed     // the folder cannot be opened (missing, unreadable): nothing to keep out
    };

    FolderLock() = default;
    FolderLock(FolderLock&&) noexcept = default;
    FolderLock& operator=(FolderLock&&) noexcept = default;

    [[nodiscard]] Result acquire(const std::string& folder);
    // An exclusive flock on any descriptor, without waiting: Held when another holds it.
    [[nodiscard]] static Result lockExclusive(int fd);
    // Closing the descriptor drops the hold; a program we start never inherits it.
    void release() { fd_.reset(); }
    bool held() const { return fd_.isOpen(); }

private:
    FileDescriptor fd_;
};

}  // namespace nimbrel
