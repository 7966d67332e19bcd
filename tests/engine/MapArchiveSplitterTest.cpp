// Splitting map archives that carry minimap files, on real archives in a throwaway game folder.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/MapArchiveSplitter.h"
#include "engine/PatchEngine.h"
#include "engine/UpdateApplier.h"
#include "engine/VerifiedFiles.h"
#include "platform/FileSystem.h"
#include "tests/engine/ArchiveFiles.h"
#include "tests/support/RecordingWindow.h"
#include "tests/support/TempGameFolder.h"

namespace nimbrel {
namespace {

using test::Files;
using test::readArchive;
using test::writeArchive;

class MapArchiveSplitterTest : public ::testing::Test {
protected:
    void SetUp() override { engine.initialize(game.path()); }

    void addArchive(const std::string& key, int version, const std::string& fileName, const Files& files) {
        writeArchive(game.file("update/" + fileName), files);
        entries.push_back({PatchListEntry::kPatchArchive, game.path() + key + "/", fileName, key, version});
    }

    std::vector<std::string> fileNames() const {
        std::vector<std::string> names;
        for (const auto& entry : entries) names.push_back(entry.fileName);
        return names;
    }

    test::TempGameFolder game;
    test::RecordingWindow window;
    PatchEngine engine{&window};
    std::vector<PatchListEntry> entries;
};

TEST_F(MapArchiveSplitterTest, MapArchiveWithMinimapEntriesBecomesTwoArchivesAndTwoEntries) {
    addArchive("item", 12, "item12.zip", {{"minimap/not-a-map.dat", "x"}});
    addArchive("map", 12, "map12.zip",
               {{"minimap/", ""},
                {"minimap/a.dat", "mini a"},
                {"field.map", "field"},
                {"town/b.map", "b"},
                {"empty.map", ""}});
    entries = MapArchiveSplitter(engine.context()).split(entries).entries;

    ASSERT_EQ(entries.size(), 3u);
    const PatchListEntry& map = entries[1];
    const PatchListEntry& minimap = entries[2];
    EXPECT_EQ(map.fileName, "map_0.12_s.zip");
    EXPECT_EQ(map.folderKey, "map");
    EXPECT_EQ(map.targetFolder, game.path() + "map/");
    EXPECT_EQ(minimap.fileName, "minimap_0.12_d.zip");
    EXPECT_EQ(minimap.folderKey, "minimap");
    EXPECT_EQ(minimap.targetFolder, game.path() + "map/minimap/");
    EXPECT_EQ(minimap.version, 12);
    EXPECT_EQ(minimap.kind, PatchListEntry::kPatchArchive);
    // Empty entries (directories among them) go nowhere; minimap names lose their folder.
    EXPECT_EQ(readArchive(game.file("update/map_0.12_s.zip")), (Files{{"field.map", "field"}, {"town/b.map", "b"}}));
    EXPECT_EQ(readArchive(game.file("update/minimap_0.12_d.zip")), (Files{{"a.dat", "mini a"}}));
    // The source stays for the clean-up of the update folder; other keys are never split.
    EXPECT_TRUE(game.exists("update/map12.zip"));
    EXPECT_EQ(entries[0].fileName, "item12.zip");
}

// A map archive put in place of the verified one, by name, after its check is not what is split.
TEST_F(MapArchiveSplitterTest, TheVerifiedArchiveIsSplitThoughAnotherTookItsName) {
    addArchive("map", 7, "map7.zip", {{"minimap/a.dat", "verified"}, {"field.map", "verified"}});
    VerifiedFiles verified;
    ASSERT_GE(verified.open(game.file("update/map7.zip")), 0);
    writeArchive(game.file("swap.zip"), {{"minimap/a.dat", "swapped"}, {"field.map", "swapped"}});
    std::filesystem::rename(game.file("swap.zip"), game.file("update/map7.zip"));
    MapArchiveSplitter splitter(engine.context());
    splitter.readThrough(verified);
    entries = splitter.split(entries).entries;
    EXPECT_EQ(readArchive(game.file("update/map_0.7_s.zip")), (Files{{"field.map", "verified"}}));
    EXPECT_EQ(readArchive(game.file("update/minimap_0.7_d.zip")), (Files{{"a.dat", "verified"}}));
}

TEST_F(MapArchiveSplitterTest, OnlyMapArchivesWithTheMarkerAreSplitEachUnderItsOwnVersion) {
    addArchive("map", 3, "map3.zip", {{"minimap/m3.bmp", "3"}});
    addArchive("Map", 4, "map4.zip", {{"plain.map", "no minimap here"}, {"MINIMAP/x.bmp", "case differs"}});
    addArchive("MAP", 5, "map5.zip", {{"sub/minimap/m5.bmp", "5"}});
    entries = MapArchiveSplitter(engine.context()).split(entries).entries;
    EXPECT_EQ(fileNames(), (std::vector<std::string>{"map_0.3_s.zip", "minimap_0.3_d.zip", "map4.zip", "map_0.5_s.zip",
                                                     "minimap_0.5_d.zip"}));
    EXPECT_EQ(entries[4].targetFolder, game.path() + "MAP/minimap/");
    EXPECT_EQ(readArchive(game.file("update/minimap_0.5_d.zip")), (Files{{"m5.bmp", "5"}}));
    EXPECT_TRUE(readArchive(game.file("update/map_0.3_s.zip")).empty());
}

TEST_F(MapArchiveSplitterTest, PartsNeverOverwriteAnArchiveTheyAreMadeFromOrAnotherPart) {
    // Two map archives in one version, the second named like the first one's map part.
    addArchive("map", 7, "mapA.zip", {{"a.map", "A"}, {"minimap/a.bmp", "a"}});
    addArchive("map", 7, "map_0.7_s.zip", {{"b.map", "B"}, {"minimap/b.bmp", "b"}});
    entries = MapArchiveSplitter(engine.context()).split(entries).entries;
    ASSERT_EQ(entries.size(), 4u);
    std::vector<std::string> names = fileNames();
    for (std::size_t i = 0; i < names.size(); ++i)
        for (std::size_t j = i + 1; j < names.size(); ++j) EXPECT_NE(names[i], names[j]);
    EXPECT_EQ(readArchive(game.file("update/" + names[0])), (Files{{"a.map", "A"}}));
    EXPECT_EQ(readArchive(game.file("update/" + names[1])), (Files{{"a.bmp", "a"}}));
    EXPECT_EQ(readArchive(game.file("update/" + names[2])), (Files{{"b.map", "B"}}));
    EXPECT_EQ(readArchive(game.file("update/" + names[3])), (Files{{"b.bmp", "b"}}));
}

TEST_F(MapArchiveSplitterTest, DamagedMapArchiveIsLeftWholeWithNoPartToBeAppliedAsComplete) {
    addArchive("map", 9, "map9.zip", {{"a.map", std::string(4000, 'a')}, {"minimap/b.bmp", "b"}});
    {
        // Damage the second entry's header: the names still list, the entry no longer reads.
        std::fstream file(game.file("update/map9.zip"), std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(80);
        file.write("garbage", 7);
    }
    entries = MapArchiveSplitter(engine.context()).split(entries).entries;
    // The update step refuses it under its own name.
    EXPECT_EQ(fileNames(), (std::vector<std::string>{"map9.zip"}));
    EXPECT_FALSE(game.exists("update/map_0.9_s.zip"));
    EXPECT_FALSE(game.exists("update/minimap_0.9_d.zip"));
}

// A part that cannot be written (a folder holds its name) is reported, and the update step
// refuses it as damaged without installing anything of the archive.
TEST_F(MapArchiveSplitterTest, PartThatCannotBeWrittenIsReportedAndRefusedByTheUpdateStep) {
    addArchive("map", 6, "map6.zip", {{"a.map", "A"}, {"minimap/b.bmp", "b"}});
    game.makeFolder("update/minimap_0.6_d.zip");
    const MapSplit split = MapArchiveSplitter(engine.context()).split(entries);
    EXPECT_EQ(split.unfinished, (std::vector<std::string>{"map_0.6_s.zip", "minimap_0.6_d.zip"}));
    EXPECT_FALSE(game.exists("update/map_0.6_s.zip"));
    EXPECT_EQ(UpdateApplier(engine.context(), split.entries, split.unfinished).applyUpdates(),
              UpdateApplier::kArchiveUnreadable);
    ASSERT_EQ(window.boxes().size(), 1u);
    EXPECT_EQ(window.boxes()[0].text, "The patch was refused: damaged patch archive minimap_0.6_d.zip");
    EXPECT_FALSE(game.exists("map/map.QPAK"));
}

TEST_F(MapArchiveSplitterTest, UnreadableMapArchiveIsLeftAsItIs) {
    game.write("update/broken.zip", "not a zip");
    entries.push_back({PatchListEntry::kPatchArchive, game.path() + "map/", "broken.zip", "map", 2});
    entries.push_back({PatchListEntry::kPatchArchive, game.path() + "map/", "missing.zip", "map", 2});
    entries = MapArchiveSplitter(engine.context()).split(entries).entries;
    EXPECT_EQ(fileNames(), (std::vector<std::string>{"broken.zip", "missing.zip"}));
}

}  // namespace
}  // namespace nimbrel
