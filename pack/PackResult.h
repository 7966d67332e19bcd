#pragma once
// Result codes of the archive handles: minizip's, passed through. 0 is success.

namespace nimbrel {

constexpr int PACK_OK = 0;
constexpr int PACK_ERRNO = -1;           // file I/O error
constexpr int PACK_END_OF_LIST = -100;   // no further entry
constexpr int PACK_PARAM_ERROR = -102;   // bad parameter
constexpr int PACK_BAD_ZIP_FILE = -103;  // bad zip file, also: an archive without entries
constexpr int PACK_INTERNAL_ERROR = -104;  // also: a disk file that cannot be opened, created or read whole
constexpr int PACK_CRC_ERROR = -105;

}  // namespace nimbrel
