// Names in code page 949 that end in a pair the code page has no character for (A2 E8), from
// every place a patch server puts a name: the manual patch list, a deletion list and the
// entry names of a patch archive. The run ends cleanly, keeps the bytes after the bad pair
// and touches nothing outside the game folder.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "tests/e2e/PatchScenario.h"

namespace nimbrel::test {
namespace {

class CodePageE2ETest : public ::testing::Test {
protected:
    CodePageE2ETest() {
        s.installVersionZero();
        PatchScenario::writeText(s.outer.file("x"), "outside x");
    }

    // Every path beside the game folder with its content, except the run's own lock folder.
    std::map<std::string, std::string> treeOutsideGame() const {
        std::map<std::string, std::string> tree;
        for (const auto& entry : fs::recursive_directory_iterator(s.outer.path())) {
            const std::string path = entry.path().string();
            if (path.starts_with(s.game) || path + "/" == s.game || path.starts_with(s.home)) continue;
            tree[path] = entry.is_regular_file() ? readFile(path) : "folder";
        }
        return tree;
    }

    PatchScenario s;
};

TEST_F(CodePageE2ETest, ManualListNamingACutPairEndsCleanly) {
    PatchScenario::writeText(s.game + "ManualPatch.ini",
                             "BGN_VERSION = 1\r\nCUR_VERSION = 1\r\n[VERSION = 1]\r\nroot=a\xa2\xe8\r\n");
    const auto outsideBefore = treeOutsideGame();
    CliRun run = s.run({"DontConnect"});
    EXPECT_LT(run.exitCode, 128) << "killed by a signal\n" << run.output;
    EXPECT_EQ(run.lastLine(), "result -4 stage 4") << run.output;
    EXPECT_EQ(s.installedVersion(), 0);
    EXPECT_EQ(readFile(s.game + "old.txt"), "old v0");
    EXPECT_EQ(treeOutsideGame(), outsideBefore);
}

TEST_F(CodePageE2ETest, ArchiveAndDeletionListNamingACutPairApplyAndKeepTheFollowingBytes) {
    writeArchive(s.server + "root_1.zip", {{"readme.txt", "readme v1"},
                                           {"a\xa2\xe8"
                                            "AB.txt",
                                            "cut pair"}});
    PatchScenario::writeText(s.server + "del_1.txt", "old\xa2\xe8\r\nold.txt\r\n\xa2\xe8\r\n");
    PatchScenario::writeText(s.server + "version.ini",
                             "CUR_VERSION = 1\r\n[VERSION = 1]\r\nroot=root_1.zip\r\nDELETED=del_1.txt\r\n"
                             "[VERSION = 1]\r\n");
    s.placeInUpdateFolder();
    const auto outsideBefore = treeOutsideGame();
    CliRun run = s.run({"DontConnect"});
    EXPECT_EQ(run.lastLine(), "result 1 stage 5") << run.output;
    EXPECT_EQ(readFile(s.game + "readme.txt"), "readme v1");
    EXPECT_EQ(readFile(s.game + "a\xEF\xBF\xBD\xEF\xBF\xBD"
                                "AB.txt"),
              "cut pair");
    EXPECT_FALSE(fs::exists(s.game + "old.txt"));
    EXPECT_EQ(treeOutsideGame(), outsideBefore);
}

}  // namespace
}  // namespace nimbrel::test
