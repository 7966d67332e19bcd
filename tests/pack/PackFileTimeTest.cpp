// Entry dates: the DOS form zip headers store, and the file times they come from and go to.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <vector>

#include "pack/PackFileTime.h"
#include "tests/support/ChildProcess.h"
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

// Dates and times agree with the C library's own local-time conversions in the zone of the
// process, on every hour of the days around the year (hours skipped and repeated included).
TEST(PackFileTime, FileTimesAgreeWithTheCLibraryInThisZone) {
    test::TempGameFolder folder;
    const std::string path = folder.write("a.bmp", "x");
    for (unsigned year : {1985u, 2000u, 2021u, 2099u})
        for (unsigned month = 0; month < 12; ++month)
            for (unsigned day : {1u, 15u, 29u, 31u})
                for (unsigned hour = 0; hour < 24; ++hour) {
                    std::tm local{};
                    local.tm_sec = 30, local.tm_min = 45, local.tm_hour = static_cast<int>(hour);
                    local.tm_mday = static_cast<int>(day), local.tm_mon = static_cast<int>(month);
                    local.tm_year = static_cast<int>(year) - 1900, local.tm_isdst = -1;
                    const std::time_t expected = std::mktime(&local);
                    ASSERT_EQ(PackFileTime::setFileTimeFromEntry(path, {30, 45, hour, day, month, year}), 1);
                    struct stat st {};
                    ASSERT_EQ(::stat(path.c_str(), &st), 0);
                    ASSERT_EQ(st.st_mtime, expected) << year << "-" << month + 1 << "-" << day << " " << hour;
                    PackEntryDate back{};
                    ASSERT_EQ(PackFileTime::getFileTimeForEntry(path, back), 1);
                    ::localtime_r(&st.st_mtime, &local);
                    ASSERT_EQ((std::vector<unsigned>{back.tm_year, back.tm_mon, back.tm_mday, back.tm_hour}),
                              (std::vector<unsigned>{unsigned(local.tm_year + 1900), unsigned(local.tm_mon),
                                                     unsigned(local.tm_mday), unsigned(local.tm_hour)}));
                }
}

// The same in zones with daylight saving and a half-hour one, each in a process of its own
// since a process reads its zone once.
TEST(PackFileTime, FileTimesAgreeWithTheCLibraryInZonesWithDaylightSaving) {
    for (const char* zone : {"Europe/Berlin", "America/Sao_Paulo", "Australia/Lord_Howe", "Asia/Seoul"}) {
        if (!std::filesystem::exists(std::string("/usr/share/zoneinfo/") + zone)) continue;
        test::TempGameFolder output;
        test::ChildProcess::Options options;
        options.setEnvironment = {std::string("TZ=") + zone};
        options.outputFolder = output.path();
        const test::ProcessOutput run = test::ChildProcess::run(
            {"/proc/self/exe", "--gtest_filter=PackFileTime.FileTimesAgreeWithTheCLibraryInThisZone"}, options);
        EXPECT_EQ(run.exitCode, 0) << zone << "\n" << run.out;
    }
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
