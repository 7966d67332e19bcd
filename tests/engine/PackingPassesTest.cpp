// The packing pass after every run and the "sync" pass, on real folders and packs.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "engine/PackingPasses.h"
#include "engine/PatchEngine.h"
#include "platform/WindowMessages.h"
#include "tests/engine/ArchiveFiles.h"
#include "tests/support/RecordingWindow.h"
#include "tests/support/TempGameFolder.h"

namespace nimbrel {
namespace {

using test::Files;
using test::readArchive;
using test::writeArchive;

const std::vector<std::string> kFolders{"actor", "monster", "map",       "resource", "sfx",    "skill",
                                        "item",  "etc",     "interface", "wear",     "minimap"};

std::string relativeFolder(const std::string& name) { return name == "minimap" ? "map/minimap/" : name + "/"; }

std::map<std::string, std::string> byName(const Files& files) { return {files.begin(), files.end()}; }

class PackingPassesTest : public ::testing::Test {
protected:
    void SetUp() override {
        engine.initialize(game.path());
        engine.setStatusTexts("", "", "Collecting files");
    }

    std::string packOf(const std::string& name) const { return game.file(relativeFolder(name) + name + ".QPAK"); }

    test::TempGameFolder game;
    test::RecordingWindow window;
    PatchEngine engine{&window};
    PackingPasses passes{engine.context()};
};

TEST_F(PackingPassesTest, FreshInstallGetsAllElevenPacksAndLosesOnlyThePackedLooseCopies) {
    for (const auto& name : kFolders) game.write(relativeFolder(name) + name + "-data.bin", "data of " + name);
    game.write("etc/item.edp", "items");
    game.write("etc/usercontroll.edt", "keys");
    game.write("actor/empty.bin", "");
    game.write("actor/player-backup.zip", "kept: packs never take archives");
    game.write("actor/old.RPAK", "a leftover temporary");
    game.write("actor/huge.bin", std::string(10485761, 'h'));
    game.write("actor/limit.bin", std::string(10485760, 'l'));
    game.write("actor/models/inner.bin", "subfolders are never packed");
    passes.packUnpackedFolders();

    std::vector<std::string> counters;
    for (int k = 1; k <= 11; ++k) counters.push_back(std::to_string(k) + "/11");
    EXPECT_EQ(window.labelHistory(IDC_COUNTER_LABEL), counters);
    EXPECT_EQ(window.labelHistory(IDC_ITEM_LABEL), kFolders);
    EXPECT_EQ(window.label(IDC_STATUS_LABEL), "Collecting files");

    for (const auto& name : kFolders) {
        auto pack = byName(readArchive(packOf(name)));
        EXPECT_EQ(pack[name + "-data.bin"], "data of " + name) << name;
        EXPECT_FALSE(game.exists(relativeFolder(name) + name + "-data.bin")) << name;
    }
    auto actor = byName(readArchive(packOf("actor")));
    EXPECT_EQ(actor.size(), 2u);
    EXPECT_EQ(actor["limit.bin"].size(), 10485760u);
    EXPECT_FALSE(game.exists("actor/limit.bin"));
    // Files the pack did not take exist nowhere else: they stay.
    for (const char* kept : {"actor/empty.bin", "actor/player-backup.zip", "actor/old.RPAK", "actor/huge.bin",
                             "actor/models/inner.bin", "etc/item.edp", "etc/usercontroll.edt"})
        EXPECT_TRUE(game.exists(kept)) << kept;
    EXPECT_EQ(byName(readArchive(packOf("etc"))).count("item.edp"), 0u);
    EXPECT_TRUE(std::filesystem::is_directory(game.file("map/minimap")));
}

TEST_F(PackingPassesTest, ExistingPacksAreLeftAloneAndTheCountCoversOnlyTheMissingOnes) {
    for (const auto& name : kFolders)
        if (name != "sfx" && name != "wear") writeArchive(packOf(name), {{"in.bin", "packed"}});
    game.write("sfx/boom.wav", "boom");
    game.write("wear/coat.dat", "coat");
    game.write("item/loose.dat", "next to an existing pack");
    passes.packUnpackedFolders();
    EXPECT_EQ(window.labelHistory(IDC_COUNTER_LABEL), (std::vector<std::string>{"1/2", "2/2"}));
    EXPECT_EQ(window.labelHistory(IDC_ITEM_LABEL), (std::vector<std::string>{"sfx", "wear"}));
    EXPECT_EQ(readArchive(packOf("sfx")), (Files{{"boom.wav", "boom"}}));
    EXPECT_TRUE(game.exists("item/loose.dat"));
    EXPECT_EQ(readArchive(packOf("item")), (Files{{"in.bin", "packed"}}));
}

TEST_F(PackingPassesTest, FolderWhosePackingFailsKeepsEveryFile) {
    for (const auto& name : kFolders)
        if (name != "skill") writeArchive(packOf(name), {{"in.bin", "packed"}});
    game.write("skill/fire.dat", "fire");
    game.makeFolder("skill/skill.RPAK");  // the temporary cannot be created
    passes.packUnpackedFolders();
    EXPECT_EQ(game.read("skill/fire.dat"), "fire");
    EXPECT_FALSE(game.exists("skill/skill.QPAK"));
}

TEST_F(PackingPassesTest, StopRequestedLeavesTheRemainingFoldersForTheNextRun) {
    game.write("actor/a.bin", "a");
    engine.stopFlag() = 1;
    passes.packUnpackedFolders();
    passes.syncPacks();
    EXPECT_FALSE(game.exists("actor/actor.QPAK"));
    EXPECT_TRUE(game.exists("actor/a.bin"));
}

TEST_F(PackingPassesTest, SyncTakesLooseCopiesBackIntoTheirPacksAndKeepsThem) {
    writeArchive(packOf("item"), {{"x.dat", "old x"}, {"y.dat", "y"}});
    game.write("item/x.dat", "new x");
    writeArchive(packOf("sfx"), {{"data.dat", "d"}});
    game.write("sfx/a.dat", "a");           // "a.dat" is a substring of "data.dat"
    game.write("sfx/zz.dat", "unrelated");  // no counterpart: stays out
    game.write("sfx/empty.dat", "");
    writeArchive(packOf("etc"), {{"item.edp", "packed items"}, {"usercontroll.edt", "packed keys"}});
    game.write("etc/item.edp", "loose items");
    game.write("etc/usercontroll.edt", "loose keys");
    passes.syncPacks();

    EXPECT_EQ(readArchive(packOf("item")), (Files{{"y.dat", "y"}, {"x.dat", "new x"}}));
    EXPECT_EQ(readArchive(packOf("sfx")), (Files{{"data.dat", "d"}, {"a.dat", "a"}}));
    EXPECT_EQ(readArchive(packOf("etc")), (Files{{"item.edp", "packed items"}, {"usercontroll.edt", "packed keys"}}));
    for (const char* loose : {"item/x.dat", "sfx/a.dat", "sfx/zz.dat", "etc/item.edp", "etc/usercontroll.edt"})
        EXPECT_TRUE(game.exists(loose)) << loose;
    // Only folders with a pack count, against all eleven.
    EXPECT_EQ(window.labelHistory(IDC_COUNTER_LABEL), (std::vector<std::string>{"1/11", "2/11", "3/11"}));
    EXPECT_EQ(window.labelHistory(IDC_ITEM_LABEL), (std::vector<std::string>{"sfx", "item", "etc"}));
}

}  // namespace
}  // namespace nimbrel
