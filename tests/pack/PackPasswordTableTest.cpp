// The derived pack passwords and the format comment. Every pack the game has ever read was
// written under these exact passwords: a changed constant makes all of them unreadable.

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "pack/PackPasswordTable.h"

namespace nimbrel {
namespace {

TEST(PackPasswordTable, CommentNamesFormatVersion3) {
    EXPECT_STREQ(PackPasswordTable::instance().comment(), "Quorlan Zip v3");
}

TEST(PackPasswordTable, DerivedPasswordsStayPinned) {
    const auto& table = PackPasswordTable::instance();
    struct Case {
        int version;
        const char* password;
    };
    // Worked out independently from the derivation (CRC-32 of the zero-padded 260-byte seed).
    const Case cases[] = {
        {0, "*&^27e8b9ea!@#$~"},   {1, "]21B79F70[;:-=+."},    {2, "?<>,65c82c8/|{}_"},
        {3, "(~)^!15e43961`'@#&"}, {999, "(~)^!3fa5c31`'@#&"},
    };
    for (Case c : cases) {
        SCOPED_TRACE(c.version);
        ASSERT_NE(table.password(c.version), nullptr);
        EXPECT_STREQ(table.password(c.version), c.password);
    }
    EXPECT_STREQ(table.writePassword(), table.password(3));
}

TEST(PackPasswordTable, PasswordsFollowTheirTemplatesAndFitTheSlot) {
    const auto& table = PackPasswordTable::instance();
    std::set<std::string> seen;
    for (int v = 0; v < PackPasswordTable::kVersionCount; ++v) {
        std::string password = table.password(v);
        EXPECT_LE(password.size(), 18u) << v;
        // Templates 1 (upper case) and the others (lower case) differ in their digits only.
        bool hasLower = password.find_first_of("abcdef") != std::string::npos;
        bool hasUpper = password.find_first_of("ABCDEF") != std::string::npos;
        if (v % 4 == 1)
            EXPECT_FALSE(hasLower) << password;
        else
            EXPECT_FALSE(hasUpper) << password;
        seen.insert(password);
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(PackPasswordTable::kVersionCount));
}

TEST(PackPasswordTable, VersionsOutsideTheTableHaveNoPassword) {
    const auto& table = PackPasswordTable::instance();
    for (int v : {-1, 1000, 1001, INT_MAX, INT_MIN}) EXPECT_EQ(table.password(v), nullptr) << v;
}

TEST(PackPasswordTable, FirstUseFromSeveralThreadsSeesOneTable) {
    std::vector<const PackPasswordTable*> seen(4);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = &PackPasswordTable::instance(); });
    for (auto& t : threads) t.join();
    for (auto* table : seen) EXPECT_EQ(table, seen[0]);
}

TEST(PackPasswordTable, ParseVersionFollowsScanfMatching) {
    struct Case {
        const char* text;
        int version;
    };
    const Case cases[] = {
        {"Quorlan Zip v3", 3},
        {"Quorlan Zip v12", 12},
        {"Quorlan Zip v0", 0},
        {"Quorlan Zip v999 and more", 999},
        {"Quorlan Zip v7\n", 7},
        {"Quorlan Zip v  42", 42},  // %d skips white space
        {"Quorlan Zip v-1", -1},    // and takes a sign
        {"Quorlan Zip v+5", 5},
        {"QuorlanZipv4", 4},        // a blank in the format matches none too
        {"Quorlan \t Zip\nv5", 5},  // or any run of white space
        {"", 0},
        {"Quorlan Zip v", 0},
        {"Quorlan Zip vx", 0},
        {"quorlan Zip v3", 0},
        {"Quorlan Zip 3", 0},
        {" Quorlan Zip v3", 0},  // the format does not start with a blank
        {"Quorlan Zip v99999999999", INT_MAX},
    };
    for (const Case& c : cases) EXPECT_EQ(PackPasswordTable::parseVersion(c.text), c.version) << '"' << c.text << '"';
    EXPECT_EQ(PackPasswordTable::parseVersion(nullptr), 0);
}

}  // namespace
}  // namespace nimbrel
