// Whole patch runs of the real nimbrel-cli in throwaway game folders against a local HTTP
// server: online, offline, manual, the packing and sync passes, and hostile patch material.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "tests/e2e/PatchScenario.h"

namespace nimbrel::test {
namespace {

bool updateFolderHoldsNoFile(const std::string& game) {
    for (const auto& entry : fs::recursive_directory_iterator(game + "update"))
        if (entry.is_regular_file()) return false;
    return true;
}

class PatchRunE2ETest : public ::testing::Test {
protected:
    PatchScenario s;
};

TEST_F(PatchRunE2ETest, OnlineRunBringsVersionZeroToTheLatestThenFindsItCurrent) {
    s.installVersionZero();
    // What a run killed while extracting leaves, in a loose and in a packed folder: the run that
    // applies the patch again takes it away.
    s.write("data/.nimbrel-Kx7qP2mZ.tmp", "torn cfg");
    s.write("sfx/.nimbrel-Q1w2E3r4.tmp", "torn wav");
    s.makePatches();
    s.publish();
    CliRun first = s.run({});
    EXPECT_EQ(first.lastLine(), "result 3 stage 5") << first.output;
    EXPECT_EQ(first.exitCode, 0);
    EXPECT_TRUE(first.saw("self-update requested")) << first.output;
    s.expectPatchedTree();
    EXPECT_TRUE(updateFolderHoldsNoFile(s.game));

    CliRun second = s.run({});
    EXPECT_EQ(second.lastLine(), "result -6 stage 3") << second.output;
    s.expectPatchedTree();
}

TEST_F(PatchRunE2ETest, OfflineRunAppliesWhatLiesInTheUpdateFolder) {
    s.installVersionZero();
    s.makePatches();
    s.placeInUpdateFolder();
    CliRun run = s.run({"DontConnect"});
    EXPECT_EQ(run.lastLine(), "result 3 stage 5") << run.output;
    EXPECT_EQ(s.http.requestCount(), 0);
    s.expectPatchedTree();
    EXPECT_TRUE(updateFolderHoldsNoFile(s.game));
}

TEST_F(PatchRunE2ETest, OfflineRunWithAFileMissingChangesNothing) {
    s.installVersionZero();
    s.makePatches();
    s.placeInUpdateFolder();
    fs::remove(s.game + "update/del_2.txt");
    CliRun run = s.run({"DontConnect"});
    EXPECT_EQ(run.lastLine(), "result -4 stage 4") << run.output;
    EXPECT_EQ(s.installedVersion(), 0);
    // Only the pass after every run touched the game: it packed the folder that had no pack.
    EXPECT_EQ(readFile(s.game + "readme.txt"), "readme v0");
    Files item = readArchive(s.game + "item/item.QPAK");
    EXPECT_EQ(item, (Files{{"sword.dat", "sword v0"}, {"shield.dat", "shield v0"}}));
    EXPECT_TRUE(fs::exists(s.game + "update/item_3.zip"));  // kept for the next try
}

TEST_F(PatchRunE2ETest, ManualPatchStartingAtTheNextVersionIsAppliedAndItsListDeleted) {
    s.installVersionZero();
    s.makePatches();
    s.placeInUpdateFolder();
    fs::remove(s.game + "update/version.ini");
    std::string list = s.patchListText();
    list.insert(list.find("CUR_VERSION"), "BGN_VERSION = 1\r\n");
    PatchScenario::writeText(s.game + "ManualPatch.ini", list);
    CliRun run = s.run({});
    EXPECT_EQ(run.lastLine(), "result 3 stage 5") << run.output;
    EXPECT_EQ(s.http.requestCount(), 0);
    EXPECT_FALSE(fs::exists(s.game + "ManualPatch.ini"));
    s.expectPatchedTree();
}

TEST_F(PatchRunE2ETest, ManualPatchStartingTwoVersionsAheadIsRefusedAndItsListDeleted) {
    s.installVersionZero();
    s.makePatches();
    s.placeInUpdateFolder();
    std::string list = s.patchListText();
    list.insert(list.find("CUR_VERSION"), "BGN_VERSION = 2\r\n");
    PatchScenario::writeText(s.game + "ManualPatch.ini", list);
    CliRun run = s.run({});
    EXPECT_EQ(run.lastLine(), "result -12 stage 2") << run.output;
    EXPECT_FALSE(fs::exists(s.game + "ManualPatch.ini"));
    EXPECT_EQ(s.installedVersion(), 0);
    EXPECT_EQ(readFile(s.game + "old.txt"), "old v0");
}

TEST_F(PatchRunE2ETest, FreshInstallIsPackedWholeAndSyncTakesLooseCopiesBack) {
    const std::vector<std::string> folders{"actor", "monster", "map",       "resource", "sfx",    "skill",
                                           "item",  "etc",     "interface", "wear",     "minimap"};
    s.writeVersion(3);
    for (const auto& name : folders) {
        std::string folder = name == "minimap" ? "map/minimap/" : name + "/";
        s.write(folder + name + "1.dat", name + " one");
        s.write(folder + name + "2.dat", name + " two");
    }
    s.write("etc/item.edp", "items");
    s.write("etc/usercontroll.edt", "keys");
    s.write("actor/big.bin", std::string(10485761, 'b'));
    s.makePatches();
    s.publish();
    CliRun pack = s.run({});
    EXPECT_EQ(pack.lastLine(), "result -6 stage 3") << pack.output;
    for (int k = 1; k <= 11; ++k) EXPECT_TRUE(pack.saw("counter: " + std::to_string(k) + "/11")) << k;
    for (const auto& name : folders) {
        std::string folder = name == "minimap" ? "map/minimap/" : name + "/";
        Files files = readArchive(s.game + folder + name + ".QPAK");
        EXPECT_EQ(
            (std::map<std::string, std::string>(files.begin(), files.end())),
            (std::map<std::string, std::string>{{name + "1.dat", name + " one"}, {name + "2.dat", name + " two"}}))
            << name;
        EXPECT_FALSE(fs::exists(s.game + folder + name + "1.dat")) << name;
    }
    EXPECT_TRUE(fs::exists(s.game + "etc/item.edp"));
    EXPECT_TRUE(fs::exists(s.game + "etc/usercontroll.edt"));
    EXPECT_EQ(fs::file_size(s.game + "actor/big.bin"), 10485761u);  // too big for a pack: kept

    // Loose copies put back next to their packs go into the packs under "sync" and stay.
    s.write("item/item1.dat", "item one, edited");
    s.write("etc/item.edp", "items, edited");
    CliRun sync = s.run({"sync"});
    EXPECT_EQ(sync.lastLine(), "result -6 stage 3") << sync.output;
    Files item = readArchive(s.game + "item/item.QPAK");
    ASSERT_EQ(item.size(), 2u);
    EXPECT_EQ(item.back(), (std::pair<std::string, std::string>{"item1.dat", "item one, edited"}));
    EXPECT_TRUE(fs::exists(s.game + "item/item1.dat"));
    Files etc = readArchive(s.game + "etc/etc.QPAK");
    for (const auto& [name, content] : etc) EXPECT_NE(name, "item.edp");
}

TEST_F(PatchRunE2ETest, HostilePatchMaterialChangesNothingOutsideTheGameFolder) {
    s.installVersionZero();
    PatchScenario::writeText(s.outer.file("x"), "outside x");
    PatchScenario::writeText(s.outer.file("victim.txt"), "outside victim");
    writeArchive(s.server + "evil_1.zip", {{"../x", "evil"}, {"../escaped.txt", "evil"}, {"fine.txt", "fine"}});
    PatchScenario::writeText(s.server + "del_1.txt", "..\\x\r\n..\\..\\x\r\n..\\victim.txt\r\nold.txt\r\n");
    PatchScenario::writeText(s.server + "version.ini",
                             "CUR_VERSION = 1\r\n"
                             "[VERSION = 1]\r\n"
                             "root=evil_1.zip\r\n"
                             "DELETED=del_1.txt\r\n"
                             "[VERSION = 1]\r\n");
    s.publish();
    const auto outsideBefore = [&] {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(s.outer.path())) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }();
    CliRun run = s.run({});
    // The patch is refused whole: its safe parts are not applied either.
    EXPECT_EQ(run.lastLine(), "result -4 stage 5") << run.output;
    EXPECT_EQ(readFile(s.outer.file("x")), "outside x");
    EXPECT_EQ(readFile(s.outer.file("victim.txt")), "outside victim");
    std::vector<std::string> outsideAfter;
    for (const auto& e : fs::directory_iterator(s.outer.path())) outsideAfter.push_back(e.path().filename().string());
    std::sort(outsideAfter.begin(), outsideAfter.end());
    EXPECT_EQ(outsideAfter, outsideBefore);
    EXPECT_FALSE(fs::exists(s.game + "fine.txt"));
    EXPECT_EQ(readFile(s.game + "old.txt"), "old v0");
    EXPECT_EQ(s.installedVersion(), 0);
}

}  // namespace
}  // namespace nimbrel::test
