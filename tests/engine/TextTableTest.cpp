// The text table: the table built into the program, and the splitting rule for resource data.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/TextTable.h"

namespace nimbrel {
namespace {

// The embedded table against the text file the build configured, split here on its own.
TEST(TextTableTest, BuiltInTableIsTheConfiguredFileLineByLine) {
    std::ifstream file(NIMBREL_TEXT_TABLE_FILE, std::ios::binary);
    ASSERT_TRUE(file.is_open()) << NIMBREL_TEXT_TABLE_FILE;
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<std::string> expected;
    for (std::size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        expected.push_back(text.substr(at, end - at));

    TextTable table;
    ASSERT_EQ(table.load(), 0);
    ASSERT_EQ(table.size(), 28u);
    ASSERT_EQ(expected.size(), table.size());
    for (std::size_t n = 0; n < table.size(); ++n) EXPECT_EQ(table.line(static_cast<int>(n)), expected[n]) << n;
    // The game client takes the launch token at its full length; the addresses are whole.
    EXPECT_EQ(table.line(TextLine::kLaunchToken).size(), 33u);
    for (int n : {TextLine::kPatchUrl, TextLine::kHomePage, TextLine::kRegister, TextLine::kUpdatePage})
        EXPECT_TRUE(table.line(n).starts_with("http")) << n;
    EXPECT_FALSE(table.line(TextLine::kUpdatePage).ends_with("/"));
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
