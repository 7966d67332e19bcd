// The offline check that every PatchList file already lies in the update folder.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/ManualPatchCheck.h"
#include "engine/PatchEngine.h"
#include "tests/support/RecordingWindow.h"
#include "tests/support/TempGameFolder.h"

namespace nimbrel {
namespace {

struct Case {
    const char* behaviour;
    std::vector<PatchListEntry> entries;
    std::vector<std::string> present;  // files placed in the update folder
    int stop;
    int expected;
};

class ManualPatchCheckTest : public ::testing::TestWithParam<Case> {};

PatchListEntry archive(const char* name) { return {PatchListEntry::kPatchArchive, "", name, "item", 1}; }
PatchListEntry deletionList(const char* name) { return {PatchListEntry::kDeletionList, "", name, "root", 1}; }

TEST_P(ManualPatchCheckTest, ResultFollowsTheFilesInTheUpdateFolder) {
    const Case& c = GetParam();
    test::TempGameFolder game;
    test::RecordingWindow window;
    PatchEngine engine(&window);
    engine.initialize(game.path());
    for (const auto& name : c.present) game.write("update/" + name, "data");
    game.makeFolder("update/a-folder.zip");  // a folder of that name is not the file
    engine.stopFlag() = c.stop;
    EXPECT_EQ(ManualPatchCheck(engine.context()).checkManualPatchFiles(c.entries), c.expected) << c.behaviour;
    EXPECT_TRUE(window.messages().empty() && window.boxes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ManualPatchCheckTest,
    ::testing::Values(Case{"every file present",
                           {archive("a.zip"), deletionList("del.txt"), archive("b.zip")},
                           {"a.zip", "del.txt", "b.zip"},
                           0,
                           1},
                      Case{"empty PatchList", {}, {"a.zip"}, 0, -3},
                      Case{"an archive missing", {archive("a.zip"), archive("b.zip")}, {"a.zip"}, 0, -4},
                      Case{"a deletion list missing counts like an archive",
                           {archive("a.zip"), deletionList("del.txt")},
                           {"a.zip"},
                           0,
                           -4},
                      Case{"a folder is not a file", {archive("a-folder.zip")}, {}, 0, -4},
                      Case{"stop requested on entry", {archive("a.zip")}, {"a.zip"}, 1, -7},
                      Case{"stop requested on entry wins over an empty list", {}, {}, 1, -7}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

}  // namespace
}  // namespace nimbrel
