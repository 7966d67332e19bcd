#include "pack/PackFileTime.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>

namespace nimbrel {

int PackFileTime::getFileTimeForEntry(const std::string& path, PackEntryDate& date) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0;
    std::tm local{};
    if (!::localtime_r(&st.st_mtime, &local)) return 1;  // unreadable time: the zeroed record stays
    date.tm_sec = static_cast<std::uint32_t>(local.tm_sec);
    date.tm_min = static_cast<std::uint32_t>(local.tm_min);
    date.tm_hour = static_cast<std::uint32_t>(local.tm_hour);
    date.tm_mday = static_cast<std::uint32_t>(local.tm_mday);
    date.tm_mon = static_cast<std::uint32_t>(local.tm_mon);
    date.tm_year = static_cast<std::uint32_t>(local.tm_year + 1900);
    return 1;
}

int PackFileTime::setFileTimeFromEntry(const std::string& path, const PackEntryDate& date) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0;
    std::tm local{};
    local.tm_sec = static_cast<int>(date.tm_sec);
    local.tm_min = static_cast<int>(date.tm_min);
    local.tm_hour = static_cast<int>(date.tm_hour);
    local.tm_mday = static_cast<int>(date.tm_mday);
    local.tm_mon = static_cast<int>(date.tm_mon);
    local.tm_year = static_cast<int>(date.tm_year) - 1900;
    local.tm_isdst = -1;  // let the time zone rules decide, as a local-time conversion does
    std::time_t when = std::mktime(&local);
    if (when == static_cast<std::time_t>(-1)) return 1;  // no such local time: the file keeps its own
    struct timespec times[2] = {{when, 0}, {when, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
    return 1;
}

std::uint32_t PackFileTime::toDosDateTime(const PackEntryDate& date) {
    PackEntryDate d = date;
    std::uint32_t year = d.tm_year;
    if (year >= 1980) {
        // A DOS date ends in 2107; later times are pinned there instead of wrapping round.
        if (year > 2107) d = PackEntryDate{58, 59, 23, 31, 11, 2107}, year = 2107;
        year -= 1980;
    } else if (year >= 208) {
        // A full year before 1980 has no DOS form; the earliest DOS date stands in for it
        // rather than a year that wraps into the next century.
        d = PackEntryDate{0, 0, 0, 1, 0, 1980};
        year = 0;
    } else if (year >= 80) {
        year -= 80;  // a year counted from 1900
    }
    std::uint32_t dosDate = ((d.tm_mday & 0x1F) + 32 * ((d.tm_mon + 1) & 0x0F) + 512 * (year & 0x7F));
    std::uint32_t dosTime = ((d.tm_sec / 2) & 0x1F) + 32 * (d.tm_min & 0x3F) + 2048 * (d.tm_hour & 0x1F);
    return (dosDate << 16) | dosTime;
}

PackEntryDate PackFileTime::fromDosDateTime(std::uint32_t dosDateTime) {
    std::uint32_t dosDate = dosDateTime >> 16;
    PackEntryDate d;
    d.tm_mday = dosDate & 0x1F;
    d.tm_mon = ((dosDate >> 5) & 0x0F) - 1;  // month 0 of a damaged header wraps as minizip's does
    d.tm_year = ((dosDate >> 9) & 0x7F) + 1980;
    d.tm_hour = (dosDateTime >> 11) & 0x1F;
    d.tm_min = (dosDateTime >> 5) & 0x3F;
    d.tm_sec = 2 * (dosDateTime & 0x1F);
    return d;
}

}  // namespace nimbrel
