// Entry dates: the DOS form zip headers store, and the file times they come from and go to.

#include <gtest/gtest.h>

#include <cstdint>

#include "pack/PackFileTime.h"
#include "tests/support/TempGameFolder.h"

namespace nimbrel {
namespace {

std::uint32_t dos(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second) {
    return ((year - 1980) << 25) | (month << 21) | (day << 16) | (hour << 11) | (minute << 5) | (second / 2);
}

TEST(PackFileTime, DosDateConversionCoversTheRepresentableRangeAndItsEdges) {
    struct Case {
        const char* what;
        PackEntryDate date;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {"an ordinary date", {10, 20, 13, 5, 6, 2007}, dos(2007, 7, 5, 13, 20, 10)},
        {"odd seconds round down", {59, 59, 23, 31, 11, 2030}, dos(2030, 12, 31, 23, 59, 58)},
        {"the first DOS year", {0, 0, 0, 1, 0, 1980}, dos(1980, 1, 1, 0, 0, 0)},
        {"the last DOS year", {30, 1, 2, 3, 4, 2107}, dos(2107, 5, 3, 2, 1, 30)},
        {"after the last DOS date", {0, 0, 12, 1, 0, 2200}, dos(2107, 12, 31, 23, 59, 58)},
        {"before the first DOS date", {5, 4, 3, 2, 1, 1970}, dos(1980, 1, 1, 0, 0, 0)},
        {"a year counted from 1900", {0, 0, 0, 1, 0, 99}, dos(1999, 1, 1, 0, 0, 0)},
        {"the zeroed record of an unreadable time", {}, 0x00200000u},
    };
    for (const Case& c : cases) EXPECT_EQ(PackFileTime::toDosDateTime(c.date), c.expected) << c.what;
}

TEST(PackFileTime, DosDateReadsBackAtTwoSecondResolution) {
    PackEntryDate date = PackFileTime::fromDosDateTime(dos(2021, 5, 3, 10, 15, 31));
    EXPECT_EQ(date.tm_year, 2021u);
    EXPECT_EQ(date.tm_mon, 4u);
    EXPECT_EQ(date.tm_mday, 3u);
    EXPECT_EQ(date.tm_hour, 10u);
    EXPECT_EQ(date.tm_min, 15u);
    EXPECT_EQ(date.tm_sec, 30u);
}

TEST(PackFileTime, FileTimeGoesToTheFileAndComesBackAsLocalTime) {
    test::TempGameFolder folder;
    std::string path = folder.write("a.bmp", "x");
    const PackEntryDate set{44, 33, 22, 11, 10, 2019};
    ASSERT_EQ(PackFileTime::setFileTimeFromEntry(path, set), 1);
    PackEntryDate got{};
    ASSERT_EQ(PackFileTime::getFileTimeForEntry(path, got), 1);
    EXPECT_EQ(got.tm_year, 2019u);
    EXPECT_EQ(got.tm_mon, 10u);
    EXPECT_EQ(got.tm_mday, 11u);
    EXPECT_EQ(got.tm_hour, 22u);
    EXPECT_EQ(got.tm_min, 33u);
    EXPECT_EQ(got.tm_sec, 44u);
}

TEST(PackFileTime, MissingFileGivesZeroAndLeavesTheDateAlone) {
    test::TempGameFolder folder;
    PackEntryDate date{1, 2, 3, 4, 5, 2006};
    EXPECT_EQ(PackFileTime::getFileTimeForEntry(folder.file("absent"), date), 0);
    EXPECT_EQ(date.tm_year, 2006u);
    EXPECT_EQ(date.tm_sec, 1u);
    EXPECT_EQ(PackFileTime::setFileTimeFromEntry(folder.file("absent"), date), 0);
    EXPECT_FALSE(folder.exists("absent"));
}

}  // namespace
}  // namespace nimbrel
