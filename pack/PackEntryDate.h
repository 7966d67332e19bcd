#pragma once
// The date of an archive entry as six local-time fields: the layout of minizip's tm_zip
// and tm_unz (month 0-11, full year).

#include <cstdint>

namespace nimbrel {

struct PackEntryDate {
    std::uint32_t tm_sec = 0;
    std::uint32_t tm_min = 0;
    std::uint32_t tm_hour = 0;
    std::uint32_t tm_mday = 0;
    std::uint32_t tm_mon = 0;
    std::uint32_t tm_year = 0;
};

}  // namespace nimbrel
