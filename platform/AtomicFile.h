#pragma once
// The one way this program writes a file that someone else may read under its final name:
// the data goes into a temporary beside the target (a short name of our own, never derived
// from the target, so long target names still fit), and only a commit gives it the target's
// name. A file that was never committed is removed when its owner goes, so a failure or an
// exception leaves nothing behind. A process killed in between leaves at most a temporary
// named ".nimbrel-*.tmp", never a torn file under a real name.
//
// The download cache is the exception, for its own files only: their partial bodies must
// outlive a killed run to be resumed, so it names them itself (see DownloadCache.h).

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/FileDescriptor.h"

namespace nimbrel {

class AtomicFile {
public:
    enum class Commit {
        Replace,    // the target is replaced if it exists
        NoReplace,  // the commit fails if the target exists; nothing is clobbered
    };

    AtomicFile() = default;
    ~AtomicFile();  // removes the temporary when it was never committed
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    AtomicFile(AtomicFile&& other) noexcept;
    AtomicFile& operator=(AtomicFile&& other) noexcept;

    // Creates the temporary in the target's folder with the given permission bits (the
    // process umask applies, as for any new file). errno tells why it failed.
    [[nodiscard]] bool open(const std::string& target, mode_t mode = 0644);
    [[nodiscard]] bool write(const void* data, std::size_t size);
    // Sets the permission bits exactly (no umask), e.g. to keep those of a replaced file.
    [[nodiscard]] bool setMode(mode_t mode);
    // Puts the data on the disk now. Callers that write many files may flush them all before
    // committing any, so the flushes overlap; commit() flushes what was not flushed yet.
    [[nodiscard]] bool flush();
    enum class Flush {
        Now,   // data and rename reach the disk before commit returns
        Skip,  // for callers writing many files: a kill still never shows a torn file under the
               // target's name, only a power cut may lose the newest files
    };
    // Flushes, closes, renames the temporary to the target and flushes the folder so the
    // rename itself survives a power cut. False on any failure; the target is then untouched
    // and the temporary removed.
    [[nodiscard]] bool commit(Commit mode = Commit::Replace, Flush flush = Flush::Now);
    // Removes the temporary now (also done by the destructor).
    void discard();

    bool isOpen() const { return fd_.isOpen(); }
    int fd() const { return fd_.get(); }
    std::uint64_t size() const { return written_; }
    const std::string& target() const { return target_; }
    const std::string& temporaryPath() const { return temporary_; }

    // Commits many files at the cost of one: each file's data is written back and waited for
    // without a journal commit of its own, then they are renamed, and each folder is flushed
    // once. Stops at the first file that cannot be committed and gives its index (that file is
    // discarded, the ones before it committed); -1 when all were committed.
    [[nodiscard]] static int commitTogether(const std::vector<AtomicFile*>& files, Commit mode = Commit::Replace);

    // Renames without replacing an existing target, atomically where the file system can
    // (renameat2), else by link and unlink; the folder is flushed afterwards.
    [[nodiscard]] static bool renameNoReplace(const std::string& from, const std::string& to);
    // True for the names our temporaries have, so folder walks can pass them over.
    static bool isTemporaryName(const std::string& name);
    // Removes the temporaries a killed process left in the folder (not below it). Only for a
    // caller that knows nobody is writing one there now. Returns how many went.
    static int removeLeftovers(const std::string& folder);

private:
    FileDescriptor fd_;
    std::string target_;
    std::string temporary_;
    std::uint64_t written_ = 0;
    bool flushed_ = false;
};

}  // namespace nimbrel
