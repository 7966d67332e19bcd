// Update application against real files: patch archives and packs written with PackWriter,
// deletion lists on disk, the labels and progress seen through a recording window.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/LooseFiles.h"
#include "engine/PatchEngine.h"
#include "engine/UpdateApplier.h"
#include "engine/VerifiedFiles.h"
#include "platform/FileSystem.h"
#include "platform/WindowMessages.h"
#include "tests/engine/ArchiveFiles.h"
#include "tests/support/RecordingWindow.h"
#include "tests/support/TempGameFolder.h"

namespace nimbrel {
namespace {

using test::Files;
using test::readArchive;
using test::writeArchive;

class UpdateApplierTest : public ::testing::Test {
protected:
    void SetUp() override {
        engine.initialize(game.path());
        engine.setStatusTexts("Being depressed...", "Deleting files", "Collecting files");
        game.makeFolder("update");
    }

    // A patch archive in the update folder and its PatchList entry.
    void addArchive(const std::string& key, int version, const std::string& fileName, const Files& files) {
        writeArchive(game.file("update/" + fileName), files);
        PatchListEntry entry;
        entry.kind = PatchListEntry::kPatchArchive;
        entry.folderKey = key;
        entry.fileName = fileName;
        entry.version = version;
        entry.targetFolder = key == "root"      ? game.path()
                             : key == "minimap" ? game.path() + "map/minimap/"
                                                : game.path() + key + "/";
        entries.push_back(entry);
    }

    void addDeletionList(int version, const std::string& fileName, const std::string& text) {
        game.write("update/" + fileName, text);
        PatchListEntry entry;
        entry.kind = PatchListEntry::kDeletionList;
        entry.folderKey = "root";
        entry.fileName = fileName;
        entry.version = version;
        entry.targetFolder = game.path() + "update/";
        entries.push_back(entry);
    }

    test::TempGameFolder game;
    test::RecordingWindow window;
    PatchEngine engine{&window};
    std::vector<PatchListEntry> entries;
    UpdateApplier applier{engine.context(), entries};
};

// ---------------------------------------------------------------------------------------------
// Deleting files

TEST_F(UpdateApplierTest, DeleteFilesExceptKeepsListedFilesAndSubfolders) {
    game.write("etc/etc.QPAK", "pack");
    game.write("etc/ITEM.EDP", "keep");
    game.write("etc/loose.dat", "go");
    game.write("etc/locked.dat", "go");
    game.write("etc/sub/inner.dat", "stay");
    std::filesystem::permissions(game.file("etc/locked.dat"), std::filesystem::perms::owner_read);
    LooseFiles::deleteAllExcept(game.path() + "etc/", {"etc.QPAK", "item.edp"});
    EXPECT_TRUE(game.exists("etc/etc.QPAK"));
    EXPECT_TRUE(game.exists("etc/ITEM.EDP"));
    EXPECT_FALSE(game.exists("etc/loose.dat"));
    EXPECT_FALSE(game.exists("etc/locked.dat"));
    EXPECT_TRUE(game.exists("etc/sub/inner.dat"));
}

TEST_F(UpdateApplierTest, RemoveDownloadedFilesEmptiesTheUpdateFolderAndItsStaging) {
    game.write("update/a.zip", "x");
    game.write("update/version.ini", "x");
    game.write("update/staging/left.dat", "x");
    UpdateApplier::removeDownloadedFiles(engine.layout());
    EXPECT_TRUE(FileSystem::listFolder(game.path() + "update/")->size() == 2);  // "." and ".."
}

// ---------------------------------------------------------------------------------------------
// applyUpdates

TEST_F(UpdateApplierTest, StopRequestedOnEntryChangesNothing) {
    addDeletionList(1, "del.txt", "readme.txt\n");
    game.write("readme.txt", "x");
    engine.stopFlag() = 1;
    EXPECT_EQ(applier.applyUpdates(), -7);
    EXPECT_TRUE(game.exists("readme.txt"));
    EXPECT_TRUE(window.labelHistory(IDC_STATUS_LABEL).empty());
}

TEST_F(UpdateApplierTest, EmptyPlanShowsTheDeletingTextAndSucceeds) {
    // A deletion list that is not there plans nothing.
    entries.push_back({PatchListEntry::kDeletionList, game.path() + "update/", "none.txt", "root", 1});
    EXPECT_EQ(applier.applyUpdates(), 1);
    EXPECT_EQ(window.labelHistory(IDC_STATUS_LABEL), std::vector<std::string>{"Deleting files"});
    EXPECT_TRUE(window.labelHistory(IDC_COUNTER_LABEL).empty());
}

TEST_F(UpdateApplierTest, UnreadableArchiveFailsBeforeAnythingChanges) {
    addDeletionList(1, "del.txt", "readme.txt\n");
    game.write("readme.txt", "x");
    addArchive("root", 2, "good.zip", {{"new.txt", "n"}});
    game.write("update/broken.zip", "not an archive");
    entries.push_back({PatchListEntry::kPatchArchive, game.path(), "broken.zip", "root", 3});
    EXPECT_EQ(applier.applyUpdates(), UpdateApplier::kArchiveUnreadable);
    EXPECT_TRUE(game.exists("readme.txt"));
    EXPECT_FALSE(game.exists("new.txt"));
}

TEST_F(UpdateApplierTest, ArchiveWithoutEntriesContributesNothingAndStopsNothing) {
    addArchive("root", 1, "first.zip", {{"first.txt", "1"}});
    addArchive("map", 2, "map_0.2_s.zip", {});  // what a map archive of minimap files only leaves
    EXPECT_EQ(applier.applyUpdates(), 1);
    EXPECT_EQ(game.read("first.txt"), "1");
    EXPECT_FALSE(game.exists("map/map.QPAK"));
}

TEST_F(UpdateApplierTest, OrdinaryFoldersGetFilesAndDeletions) {
    game.write("readme.txt", "old readme");
    game.write("data/sub/deep.bin", "old");
    game.write("data/sub/stays.bin", "stays");
    addArchive("root", 1, "root1.zip", {{"readme.txt", "v1"}, {"tools/cfg.ini", "cfg"}});
    addArchive("data", 2, "data2.zip", {{"fresh.bin", "fresh"}});
    addArchive("new/deep", 2, "deep2.zip", {{"d.bin", "deep"}});
    addArchive("root", 2, "root2.zip", {{"readme.txt", "v2"}});
    addDeletionList(2, "del2.txt", "data\\sub\\deep.bin\r\nreadme.txt\r\n");
    EXPECT_EQ(applier.applyUpdates(), 1);
    EXPECT_EQ(game.read("readme.txt"), "v2");  // supplied again by version 2: not deleted
    EXPECT_EQ(game.read("tools/cfg.ini"), "cfg");
    EXPECT_EQ(game.read("data/fresh.bin"), "fresh");
    EXPECT_EQ(game.read("new/deep/d.bin"), "deep");  // a new key several folders deep
    EXPECT_FALSE(game.exists("data/sub/deep.bin"));
    EXPECT_TRUE(game.exists("data/sub/stays.bin"));
    // A folder group without a pack merge ends on a full bar.
    ASSERT_FALSE(window.progress().empty());
    EXPECT_EQ(window.progress().back(), 100);
}

// Files verified against a signed list are read through the files that were hashed: another
// archive, deletion list or pack source put in their place afterwards is never applied.
TEST_F(UpdateApplierTest, FilesReplacedAfterTheyWereVerifiedAreReadAsVerified) {
    writeArchive(game.file("item/item.QPAK"), {{"old.dat", "old"}});
    game.write("readme.txt", "readme");
    game.write("stays.txt", "stays");
    addArchive("root", 2, "root2.zip", {{"tools/cfg.ini", "verified"}});
    addArchive("item", 2, "item2.zip", {{"a.dat", "verified"}});
    addDeletionList(2, "del2.txt", "readme.txt\r\n");
    VerifiedFiles verified;
    for (const char* name : {"root2.zip", "item2.zip", "del2.txt"})
        ASSERT_GE(verified.open(game.file(std::string("update/") + name)), 0);
    // Swapped in by name after the check, as another writer of the folder could.
    writeArchive(game.file("swap.zip"), {{"tools/cfg.ini", "swapped"}});
    std::filesystem::rename(game.file("swap.zip"), game.file("update/root2.zip"));
    writeArchive(game.file("swap.zip"), {{"a.dat", "swapped"}});
    std::filesystem::rename(game.file("swap.zip"), game.file("update/item2.zip"));
    game.write("swap.txt", "stays.txt\r\n");
    std::filesystem::rename(game.file("swap.txt"), game.file("update/del2.txt"));

    applier.readThrough(verified);
    ASSERT_EQ(applier.applyUpdates(), 1);
    EXPECT_EQ(game.read("tools/cfg.ini"), "verified");
    EXPECT_FALSE(game.exists("readme.txt"));
    EXPECT_TRUE(game.exists("stays.txt"));
    Files pack = readArchive(game.file("item/item.QPAK"));
    EXPECT_EQ((std::map<std::string, std::string>(pack.begin(), pack.end())),
              (std::map<std::string, std::string>{{"old.dat", "old"}, {"a.dat", "verified"}}));
}

TEST_F(UpdateApplierTest, WorkedCountRunsFromOneOfSixToSixOfSix) {
    game.makeFolder("item");
    game.makeFolder("sfx");
    writeArchive(game.file("item/item.QPAK"), {{"old.dat", "old"}, {"keep.dat", "keep"}});
    writeArchive(game.file("sfx/sfx.QPAK"), {{"boom.wav", "boom"}, {"hiss.wav", "hiss"}});
    addArchive("item", 1, "item1.zip", {{"a.dat", "a1"}, {"d.dat", "d1"}});
    addArchive("item", 2, "item2.zip", {{"b.dat", "b2"}});
    addArchive("root", 2, "root2.zip", {{"readme.txt", "r"}});
    addDeletionList(2, "del2.txt", "item\\old.dat\nsfx\\boom.wav\n");
    addArchive("item", 3, "item3.zip", {{"a.dat", "a3"}, {"c.dat", "c3"}});
    ASSERT_EQ(applier.applyUpdates(), 1);

    EXPECT_EQ(window.labelHistory(IDC_COUNTER_LABEL),
              (std::vector<std::string>{"1/6", "2/6", "3/6", "4/6", "5/6", "6/6"}));
    EXPECT_EQ(window.labelHistory(IDC_ITEM_LABEL),
              (std::vector<std::string>{"item3.zip", "item2.zip", "item1.zip", "root2.zip", "sfx"}));
    EXPECT_EQ(
        window.labelHistory(IDC_STATUS_LABEL),
        (std::vector<std::string>{"Being depressed...", "Collecting files", "Being depressed...", "Deleting files"}));

    // a.dat comes from item3.zip only; staged files follow the kept entries in plan order.
    EXPECT_EQ(readArchive(game.file("item/item.QPAK")),
              (Files{{"keep.dat", "keep"}, {"a.dat", "a3"}, {"c.dat", "c3"}, {"b.dat", "b2"}, {"d.dat", "d1"}}));
    EXPECT_EQ(readArchive(game.file("sfx/sfx.QPAK")), (Files{{"hiss.wav", "hiss"}}));
    EXPECT_EQ(game.read("readme.txt"), "r");
    EXPECT_FALSE(game.exists("item/a.dat"));
    EXPECT_TRUE(FileSystem::listFolder(engine.layout().stagingFolder())->size() == 2);
}

TEST_F(UpdateApplierTest, PackedFolderWithoutPackGetsOneAndKeepsFilesThePackDidNotTake) {
    game.write("actor/hero.mdl", "old hero");
    game.write("actor/villain.mdl", "villain");
    game.write("actor/gone.mdl", "gone");
    game.write("actor/empty.mdl", "");
    game.write("actor/backup.zip", "a zip of the player's");
    game.write("actor/sub/inner.mdl", "inner");
    addArchive("actor", 4, "actor4.zip", {{"hero.mdl", "new hero"}, {"extra.mdl", "extra"}});
    addDeletionList(4, "del4.txt", "actor\\gone.mdl\n");
    ASSERT_EQ(applier.applyUpdates(), 1);

    Files pack = readArchive(game.file("actor/actor.QPAK"));
    std::map<std::string, std::string> byName(pack.begin(), pack.end());
    EXPECT_EQ(byName, (std::map<std::string, std::string>{
                          {"villain.mdl", "villain"}, {"hero.mdl", "new hero"}, {"extra.mdl", "extra"}}));
    // The pack holds them now: no loose copies.
    for (const char* name : {"actor/hero.mdl", "actor/villain.mdl", "actor/extra.mdl", "actor/gone.mdl"})
        EXPECT_FALSE(game.exists(name)) << name;
    // What the pack did not take exists nowhere else and stays.
    EXPECT_TRUE(game.exists("actor/empty.mdl"));
    EXPECT_EQ(game.read("actor/backup.zip"), "a zip of the player's");
    EXPECT_EQ(game.read("actor/sub/inner.mdl"), "inner");
}

TEST_F(UpdateApplierTest, EtcKeepsItsTwoFilesLooseAndOutOfThePack) {
    writeArchive(game.file("etc/etc.QPAK"), {{"table.dat", "t1"}});
    addArchive("etc", 2, "etc2.zip", {{"ITEM.EDP", "items"}, {"usercontroll.edt", "keys"}, {"table.dat", "t2"}});
    ASSERT_EQ(applier.applyUpdates(), 1);
    EXPECT_EQ(game.read("etc/ITEM.EDP"), "items");
    EXPECT_EQ(game.read("etc/usercontroll.edt"), "keys");
    EXPECT_EQ(readArchive(game.file("etc/etc.QPAK")), (Files{{"table.dat", "t2"}}));
}

TEST_F(UpdateApplierTest, EtcGroupWithOnlyItsLooseFilesMakesNoMergeAndDeletesLater) {
    writeArchive(game.file("etc/etc.QPAK"), {{"table.dat", "t1"}, {"old.dat", "o"}});
    addArchive("etc", 2, "etc2.zip", {{"item.edp", "items"}});
    addDeletionList(2, "del2.txt", "etc\\old.dat\n");
    ASSERT_EQ(applier.applyUpdates(), 1);
    EXPECT_EQ(game.read("etc/item.edp"), "items");
    EXPECT_EQ(readArchive(game.file("etc/etc.QPAK")), (Files{{"table.dat", "t1"}}));
    EXPECT_EQ(window.labelHistory(IDC_COUNTER_LABEL), (std::vector<std::string>{"1/2", "2/2"}));
    EXPECT_EQ(window.labelHistory(IDC_STATUS_LABEL),
              (std::vector<std::string>{"Being depressed...", "Deleting files"}));
}

// A deletion the pack did not take would be read by the game for good once the version is
// written: the step fails instead, and the next run applies the patch again, clearing what a
// killed one left.
TEST(UpdateApplierDeletionTest, DeletionLinesReachTheirPackOrFailTheStep) {
    struct Row {
        const char* what;
        std::string pack;  // below the game folder
        Files before;      // written as the pack; none: the pack holds damaged bytes
        std::string line;
        int result;
        Files after;
    };
    const std::vector<Row> rows{
        {"an entry of a nested key's pack", "map/minimap/minimap.QPAK", {{"m01.bmp", "1"}, {"m02.bmp", "2"}},
         "map\\minimap\\m01.bmp", 1, {{"m02.bmp", "2"}}},
        {"the last entry of a pack", "item/item.QPAK", {{"a.dat", "a"}}, "item\\a.dat", 1, {}},
        {"an entry of a damaged pack", "skill/skill.QPAK", {}, "skill\\fire.dat", -11, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        test::TempGameFolder game;
        test::RecordingWindow window;
        PatchEngine engine{&window};
        engine.initialize(game.path());
        game.makeFolder("update");
        if (row.before.empty())
            game.write(row.pack, "this pack is damaged");
        else
            writeArchive(game.file(row.pack), row.before);
        // A run killed while deleting from the pack leaves its journal's temporary beside it.
        const std::string leftover = row.pack.substr(0, row.pack.rfind('/') + 1) + ".nimbrel-cut.tmp";
        game.write(leftover, "");
        game.write("update/del.txt", row.line + "\n");
        PatchListEntry entry;
        entry.kind = PatchListEntry::kDeletionList;
        entry.folderKey = "root";
        entry.fileName = "del.txt";
        entry.version = 1;
        entry.targetFolder = game.path() + "update/";
        const std::vector<PatchListEntry> entries{entry};
        EXPECT_EQ(UpdateApplier(engine.context(), entries).applyUpdates(), row.result);
        EXPECT_FALSE(game.exists(leftover));
        if (row.before.empty())
            EXPECT_EQ(game.read(row.pack), "this pack is damaged");
        else if (game.exists(row.pack))
            EXPECT_EQ(readArchive(game.file(row.pack)), row.after);
        else
            EXPECT_TRUE(row.after.empty());
    }
}

TEST_F(UpdateApplierTest, PackUpdateCutOffBeforeItsEndRecordIsUndoneByTheNextRun) {
    writeArchive(game.file("sfx/sfx.QPAK"), {{"a.wav", std::string(200000, 'a')}});
    // What a run killed in the middle of an in-place update leaves: its journal, and entries
    // appended after the old end record, more than a reader searches back for one.
    const auto oldSize = std::filesystem::file_size(game.file("sfx/sfx.QPAK"));
    game.write("sfx/sfx.QPAK.journal", "nimbrel pack journal 1 size " + std::to_string(oldSize) + "\n");
    std::string appended(100000, '\0');
    for (std::size_t i = 0; i < appended.size(); ++i) appended[i] = static_cast<char>(i * 7919 % 251);
    std::ofstream(game.file("sfx/sfx.QPAK"), std::ios::app | std::ios::binary) << appended;
    addArchive("sfx", 1, "sfx1.zip", {{"b.wav", "b"}});
    ASSERT_EQ(applier.applyUpdates(), 1);
    EXPECT_EQ(readArchive(game.file("sfx/sfx.QPAK")),
              (Files{{"a.wav", std::string(200000, 'a')}, {"b.wav", "b"}}));
    EXPECT_FALSE(game.exists("sfx/sfx.QPAK.journal"));
}

TEST_F(UpdateApplierTest, PackWithoutEntriesIsBuiltAfreshInsteadOfFailing) {
    writeArchive(game.file("wear/wear.QPAK"), {});
    game.write("wear/loose.dat", "loose");
    addArchive("wear", 1, "wear1.zip", {{"coat.dat", "coat"}});
    ASSERT_EQ(applier.applyUpdates(), 1);
    Files pack = readArchive(game.file("wear/wear.QPAK"));
    std::map<std::string, std::string> byName(pack.begin(), pack.end());
    EXPECT_EQ(byName, (std::map<std::string, std::string>{{"coat.dat", "coat"}, {"loose.dat", "loose"}}));
    EXPECT_FALSE(game.exists("wear/loose.dat"));
}

TEST_F(UpdateApplierTest, FailedPackMergeReturnsMinusElevenAndLeavesThePackAlone) {
    game.write("skill/skill.QPAK", "this pack is damaged");
    addArchive("skill", 1, "skill1.zip", {{"fire.dat", "fire"}});
    addArchive("wear", 1, "wear1.zip", {{"later.dat", "w"}});
    addDeletionList(1, "del.txt", "readme.txt\n");
    game.write("readme.txt", "x");
    EXPECT_EQ(applier.applyUpdates(), -11);
    EXPECT_EQ(game.read("skill/skill.QPAK"), "this pack is damaged");
    EXPECT_TRUE(game.exists("readme.txt"));       // the deletion phase never ran
    EXPECT_FALSE(game.exists("wear/wear.QPAK"));  // nor the later group
    // Pack entries move over from the archive itself, which stays for the next run.
    EXPECT_TRUE(game.exists("update/skill1.zip"));
    EXPECT_FALSE(game.exists("update/staging/fire.dat"));
}

TEST_F(UpdateApplierTest, FileThatCannotBeWrittenFailsTheStepInsteadOfPassingForInstalled) {
    game.write("blocked", "a file where the archive wants a folder");
    addArchive("root", 1, "root1.zip", {{"blocked/inner.txt", "inner"}});
    addArchive("sfx", 1, "sfx1.zip", {{"later.wav", "w"}});
    EXPECT_EQ(applier.applyUpdates(), UpdateApplier::kExtractionFailed);
    EXPECT_EQ(game.read("blocked"), "a file where the archive wants a folder");
    EXPECT_FALSE(game.exists("sfx/sfx.QPAK"));  // later folder groups never run
}

TEST_F(UpdateApplierTest, ArchiveEntriesClimbingOutOfTheFolderRefuseThePatchBeforeAnythingIsWritten) {
    addArchive("root", 1, "evil.zip", {{"../x.txt", "evil"}, {"ok.txt", "fine"}});
    addArchive("item", 1, "evil-item.zip", {{"../../y.txt", "evil"}, {"good.dat", "good"}});
    ASSERT_EQ(applier.applyUpdates(), UpdateApplier::kUnsafeName);
    EXPECT_FALSE(game.exists("ok.txt"));
    EXPECT_FALSE(std::filesystem::exists(game.path() + "../x.txt"));
    EXPECT_FALSE(std::filesystem::exists(game.path() + "../../y.txt"));
    EXPECT_FALSE(game.exists("item/item.QPAK"));
}

}  // namespace
}  // namespace nimbrel
