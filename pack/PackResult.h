#pragma once
// Result codes. The archive handles return the codes of the zip library the game's tools were
// built on (0 is success), so that every caller and message keeps its meaning; whole-pack
// operations return a PackBuildResult.

#include <cerrno>
#include <string>

namespace nimbrel {

constexpr int PACK_OK = 0;
constexpr int PACK_ERRNO = -1;             // file I/O error
constexpr int PACK_END_OF_LIST = -100;     // no further entry
constexpr int PACK_PARAM_ERROR = -102;     // bad parameter
constexpr int PACK_BAD_ZIP_FILE = -103;    // bad zip file, also: an archive without entries
constexpr int PACK_INTERNAL_ERROR = -104;  // also: a disk file that cannot be opened, created or read whole
constexpr int PACK_CRC_ERROR = -105;
// Ours: an entry stored in a way we do not read (AES or another cipher, a method other than
// stored or deflated). The archive is not damaged; we just cannot open that entry.
constexpr int PACK_UNSUPPORTED = -106;
// Ours: a stop was requested (the launcher is closing); nothing was changed.
constexpr int PACK_STOPPED = -107;

// What buildPack, packFolder, rebuildPack and updatePack give. The update step compares
// against these numbers.
enum class PackBuildResult : int {
    Done = 1,
    NotPutInPlace = -1,     // the finished temporary could not take the pack's name (a build never
                            // replaces a pack that exists; the temporary stays)
    NotCompleted = -2,      // the new pack could not be written out completely; no pack changed
    EntryFailed = -3,       // an entry could not be copied or a file added; the pack is unchanged
    CannotCreate = -4,      // the temporary (or the appended part) could not be created
    PackUnreadable = -5,    // the old pack could not be read (rebuild)
    FolderUnlistable = -6,  // the folder cannot be listed (build)
    Stopped = -7,           // a stop was requested; the old pack stays as it was
};

constexpr int toCode(PackBuildResult result) { return static_cast<int>(result); }

// Why a write failed where the cause is the disk, not the archive: the system's error number
// (a full or read-only file system, a folder we may not write) and the folder written to.
// error is 0 when no such cause is known.
struct DiskWriteFailure {
    int error = 0;
    std::string folder;

    static constexpr bool isDiskError(int error) {
        return error == ENOSPC || error == EDQUOT || error == EROFS || error == EACCES || error == EPERM ||
               error == EIO || error == EFBIG;
    }
};

}  // namespace nimbrel
