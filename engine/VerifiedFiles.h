#pragma once
// The patch files of a signed run as they were hashed against the manifest: each is held open
// from the moment it is hashed, and the update step reads it through that open file
// (/proc/self/fd/N reaches the file itself, not its name), so a file put in its place in the
// update folder afterwards is never what gets applied.

#include <cstddef>
#include <map>
#include <string>

#include "platform/FileDescriptor.h"

namespace nimbrel {

class VerifiedFiles {
public:
    // Far more than a patch list names at once, and far below the descriptors a process has;
    // files beyond it are read by name.
    static constexpr std::size_t kMaxHeld = 256;

    // Opens path for reading and holds it; -1 (errno set) when it cannot. Beyond kMaxHeld files the descriptor lasts until the next open only.
    [[nodiscard]] int open(const std::string& path);
    // Where the update step reads path from: its held file, else path itself.
    std::string readPath(const std::string& path) const;

private:
    FileDescriptor unheld_;
    std::map<std::string, FileDescriptor> held_;
};

}  // namespace nimbrel
