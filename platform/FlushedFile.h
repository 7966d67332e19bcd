#pragma once
// A file written from start to end whose content is on the disk before anyone gives it its
// final name: downloads and cache entries are written under a temporary name, finished, and
// only then renamed, so a power cut never leaves a torn file under a real name.
//
// finish() writes the data back and waits for it (sync_file_range) rather than fdatasync:
// the rename that follows is ordered after the data, which is all the crash safety needs,
// without a journal commit per file (that commit made 200 small files three times slower).
// Write-back starts every few MiB while the file grows, so large files finish promptly.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/FileDescriptor.h"

namespace nimbrel {

class FlushedFile {
public:
    FlushedFile() = default;
    // An unfinished file is closed as it is when the object goes; the caller removes it.
    FlushedFile(const FlushedFile&) = delete;
    FlushedFile& operator=(const FlushedFile&) = delete;

    // Creates or truncates the file.
    [[nodiscard]] bool open(const std::string& path);
    [[nodiscard]] bool write(const char* data, std::size_t size);
    // The data is on the disk and the file closed; false on any error on the way.
    [[nodiscard]] bool finish();
    bool isOpen() const { return fd_.isOpen(); }
    std::uint64_t size() const { return written_; }

private:
    static constexpr std::uint64_t kWriteBackStep = 1u << 20;
    FileDescriptor fd_;
    std::uint64_t written_ = 0;
    std::uint64_t started_ = 0;
};

}  // namespace nimbrel
