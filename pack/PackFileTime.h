#pragma once
// Moving a file's last-write time to and from an archive entry's date (six local-time
// fields) and the DOS date and time that zip headers store.

#include <cstdint>
#include <string>

#include "pack/PackEntryDate.h"

namespace nimbrel {

class PackFileTime {
public:
    // 1 with the file's last-write time as local time, or 0 (date untouched) when the file
    // does not exist.
    static int getFileTimeForEntry(const std::string& path, PackEntryDate& date);
    // Sets the file's access and modification times to the date read as local time; 1, or 0
    // when the file does not exist. (Linux keeps no creation time to set.)
    static int setFileTimeFromEntry(const std::string& path, const PackEntryDate& date);

    // Zip headers hold the date in the high word and the time in the low word, seconds at
    // 2-second resolution.
    static std::uint32_t toDosDateTime(const PackEntryDate& date);
    static PackEntryDate fromDosDateTime(std::uint32_t dosDateTime);
};

}  // namespace nimbrel
