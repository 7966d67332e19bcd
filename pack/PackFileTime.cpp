#include "pack/PackFileTime.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <vector>

namespace nimbrel {
namespace {

constexpr std::int64_t kSecondsPerDay = 86400;

// Days since 1970-01-01 of a proleptic Gregorian date; month 0-11 and any day count, both
// normalised the way mktime normalises them (a damaged header's month wraps into a year).
std::int64_t daysFromCivil(std::int64_t year, std::int64_t month, std::int64_t day) {
    year += month >= 0 ? month / 12 : -((11 - month) / 12);
    month = ((month % 12) + 12) % 12 + 1;
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468 + (day - 1);
}

void civilFromDays(std::int64_t days, std::int64_t& year, unsigned& month0, unsigned& day) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t mp = (5 * dayOfYear + 2) / 153;
    day = static_cast<unsigned>(dayOfYear - (153 * mp + 2) / 5 + 1);
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    month0 = static_cast<unsigned>(month - 1);
    year = yearOfEra + era * 400 + (month <= 2);
}

// The local time zone's offsets from UTC over the years a DOS date can hold, read once per
// process. glibc guards its zone data with a lock that thread checkers cannot see, and
// extraction sets file times from several threads at once; after this table is built the
// conversions below never touch that lock again.
class LocalZone {
public:
    static const LocalZone& instance() {
        static const LocalZone zone;
        return zone;
    }

    long offsetAt(std::int64_t utc) const {
        auto after = std::upper_bound(changes_.begin(), changes_.end(), utc,
                                      [](std::int64_t t, const Change& c) { return t < c.at; });
        return after == changes_.begin() ? firstOffset_ : std::prev(after)->offset;
    }

    // Local wall-clock seconds to UTC, as mktime does with the daylight-saving flag left to
    // the zone rules: an hour that occurs twice gives its first occurrence, an hour skipped
    // when clocks go forward is read with the offset in force before the change.
    std::int64_t toUtc(std::int64_t local) const {
        const long before = offsetAt(local - kSecondsPerDay);
        const long after = offsetAt(local + kSecondsPerDay);
        std::int64_t best = local - before;
        bool found = false;
        for (long offset : {before, after}) {
            const std::int64_t candidate = local - offset;
            if (offsetAt(candidate) != offset) continue;
            if (!found || candidate < best) best = candidate;
            found = true;
        }
        return best;
    }

private:
    struct Change {
        std::int64_t at;  // first UTC second with this offset
        long offset;
    };

    static long probe(std::int64_t utc) {
        std::time_t t = static_cast<std::time_t>(utc);
        std::tm local{};
        return ::localtime_r(&t, &local) ? local.tm_gmtoff : 0;
    }

    LocalZone() {
        ::tzset();
        // A day apart finds every change the zone databases hold in this range; the exact
        // second is then found by halving.
        const std::int64_t first = daysFromCivil(1979, 11, 30) * kSecondsPerDay;
        const std::int64_t last = daysFromCivil(2108, 0, 2) * kSecondsPerDay;
        firstOffset_ = probe(first);
        long current = firstOffset_;
        for (std::int64_t low = first; low < last;) {
            std::int64_t high = std::min(low + kSecondsPerDay, last);
            if (probe(high) == current) {
                low = high;
                continue;
            }
            while (high - low > 1) {  // probe(low) is still the current offset, probe(high) is not
                const std::int64_t middle = low + (high - low) / 2;
                (probe(middle) == current ? low : high) = middle;
            }
            current = probe(high);
            changes_.push_back({high, current});
            low = high;
        }
    }

    long firstOffset_ = 0;
    std::vector<Change> changes_;
};

}  // namespace

int PackFileTime::getFileTimeForEntry(const std::string& path, PackEntryDate& date) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0;
    const std::int64_t utc = st.st_mtime;
    const std::int64_t local = utc + LocalZone::instance().offsetAt(utc);
    const std::int64_t days = (local >= 0 ? local : local - (kSecondsPerDay - 1)) / kSecondsPerDay;
    const std::int64_t secondOfDay = local - days * kSecondsPerDay;
    std::int64_t year = 0;
    unsigned month0 = 0, day = 0;
    civilFromDays(days, year, month0, day);
    date.tm_sec = static_cast<std::uint32_t>(secondOfDay % 60);
    date.tm_min = static_cast<std::uint32_t>(secondOfDay / 60 % 60);
    date.tm_hour = static_cast<std::uint32_t>(secondOfDay / 3600);
    date.tm_mday = day;
    date.tm_mon = month0;
    date.tm_year = static_cast<std::uint32_t>(year);
    return 1;
}

int PackFileTime::setFileTimeFromEntry(const std::string& path, const PackEntryDate& date) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0;
    // The fields are read as the signed numbers a local-time conversion takes, so a damaged
    // header's wrapped month stays the month before January.
    const std::int64_t days =
        daysFromCivil(static_cast<int>(date.tm_year), static_cast<int>(date.tm_mon), static_cast<int>(date.tm_mday));
    const std::int64_t local = days * kSecondsPerDay + std::int64_t{static_cast<int>(date.tm_hour)} * 3600 +
                               std::int64_t{static_cast<int>(date.tm_min)} * 60 + static_cast<int>(date.tm_sec);
    const std::time_t when = static_cast<std::time_t>(LocalZone::instance().toUtc(local));
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
