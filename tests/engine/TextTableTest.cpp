// The text table: the table built into the program, and the splitting rule for resource data.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "engine/TextTable.h"

namespace nimbrel {
namespace {

TEST(TextTableTest, BuiltInTableHasTwentyEightLinesInTheirPlaces) {
    TextTable table;
    ASSERT_EQ(table.load(), 0);
    ASSERT_EQ(table.size(), 28u);
    EXPECT_EQ(table.line(0), "=+_)(*&^90plokmn78ijuhbg;=+_)(*&^");
    EXPECT_EQ(table.line(0).size(), 33u);
    EXPECT_EQ(table.line(1), "Have Not Search For SelfUpdate.exe File");
    EXPECT_EQ(table.line(3), "Completed Update File");
    EXPECT_TRUE(table.line(4).starts_with("http://"));
    EXPECT_TRUE(table.line(4).ends_with("/quorlanpatch/plus_real/"));
    EXPECT_TRUE(table.line(5).ends_with("/quorlanpatch/plus_test/"));
    EXPECT_TRUE(table.line(10).starts_with("https://"));
    EXPECT_TRUE(table.line(10).ends_with("/Member/Register/Register.html"));
    EXPECT_FALSE(table.line(16).ends_with("/"));
    EXPECT_EQ(table.line(13), "Being depressed...");
    for (int n = 17; n <= 20; ++n) EXPECT_EQ(table.line(n), "Reserve");
    EXPECT_EQ(table.line(21), "Deleting files");
    EXPECT_EQ(table.line(22), "Collecting files");
    EXPECT_EQ(table.line(23), "back.jpg");
    EXPECT_EQ(table.line(24), "button.jpg");
    EXPECT_EQ(table.line(26), "You cannot run the Nimbrel more than once.");
    for (std::size_t n = 0; n < table.size(); ++n)
        EXPECT_EQ(table.line(static_cast<int>(n)).find('\r'), std::string::npos) << n;
}

TEST(TextTableTest, SplittingDropsOneCharacterBeforeEachLineFeed) {
    struct Case {
        const char* name;
        std::string data;
        std::vector<std::string> lines;
        int result;
    } cases[] = {
        {"terminated lines", "a\r\nbb\r\n", {"a", "bb"}, 0},
        {"last line without line feed is not added", "a\r\nbb\r\ncc", {"a", "bb"}, 0},
        {"empty lines keep their numbers", "a\r\n\r\n\r\nd\r\n", {"a", "", "", "d"}, 0},
        {"bare line feed loses the last character", "abc\nxy\r\n", {"ab", "xy"}, 0},
        {"bare line feed alone", "\n\r\n", {"", ""}, 0},
        {"no line feed at all", "text", {}, 0},
        {"empty resource", "", {}, -1},
    };
    for (const auto& c : cases) {
        TextTable table;
        EXPECT_EQ(table.loadFrom(c.data), c.result) << c.name;
        ASSERT_EQ(table.size(), c.lines.size()) << c.name;
        for (std::size_t n = 0; n < c.lines.size(); ++n)
            EXPECT_EQ(table.line(static_cast<int>(n)), c.lines[n]) << c.name;
    }
}

TEST(TextTableTest, LookupOutsideTheTableThrowsOutOfRange) {
    TextTable table;
    EXPECT_THROW(table.line(0), std::out_of_range);  // before any load
    ASSERT_EQ(table.loadFrom("a\r\nb\r\n"), 0);
    EXPECT_THROW(table.line(-1), std::out_of_range);
    EXPECT_THROW(table.line(2), std::out_of_range);
    EXPECT_THROW(table.line(34), std::out_of_range);
    EXPECT_EQ(table.line(1), "b");
}

TEST(TextTableTest, ReloadingReplacesTheLines) {
    TextTable table;
    ASSERT_EQ(table.loadFrom("a\r\nb\r\nc\r\n"), 0);
    EXPECT_EQ(table.loadFrom(""), -1);
    EXPECT_EQ(table.size(), 0u);
    ASSERT_EQ(table.load(), 0);
    EXPECT_EQ(table.size(), 28u);
}

}  // namespace
}  // namespace nimbrel
