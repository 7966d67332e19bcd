// Reading whole archives: listing and name tests, extraction (exact names, safe targets, old
// files kept on failure), splitting a map archive, and picking loose files to take back in.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "PackArchiveTestSupport.h"
#include "pack/PackArchive.h"
#include "tests/support/TempGameFolder.h"

namespace nimbrel::test {
namespace {

TEST(PackArchiveList, ListsNamesInOrderAndTestsSubstringsCaseSensitively) {
    TempGameFolder game;
    std::string pack = game.file("p.QPAK");
    ASSERT_TRUE(writePack(pack, {{"zeta.dat", "z"}, {"Alpha.bmp", "a"}, {"map/m.dat", "m"}}));
    PackArchive archive;

    NameList names{"kept"};
    ASSERT_TRUE(archive.listEntries(pack, names));
    EXPECT_EQ(names, (NameList{"kept", "zeta.dat", "Alpha.bmp", "map/m.dat"}));
    EXPECT_FALSE(archive.listEntries(game.file("missing.QPAK"), names));

    EXPECT_TRUE(archive.containsEntryText(pack, "pha.b"));
    EXPECT_TRUE(archive.containsEntryText(pack, "p/m"));
    EXPECT_FALSE(archive.containsEntryText(pack, "alpha"));
    EXPECT_FALSE(archive.containsEntryText(game.file("missing.QPAK"), "a"));
}

TEST(PackArchiveExtract, ExtractsExactlyTheNamedEntriesWithTheirDatesAndProgress) {
    TempGameFolder game;
    std::string pack = game.file("p.QPAK");
    ASSERT_TRUE(writePack(pack, {{"a.dat", "alpha"}, {"b.dat", "beta"}, {"c.dat", "gamma"}}));
    std::string folder = game.file("out/");
    ProgressLog window;

    ASSERT_TRUE(PackArchive(window.callbacks()).extractEntries(folder, pack, {"c.dat", "a.dat", "B.DAT"}, true));

    EXPECT_EQ(game.read("out/a.dat"), "alpha");
    EXPECT_EQ(game.read("out/c.dat"), "gamma");
    EXPECT_FALSE(game.exists("out/b.dat"));  // names match exactly, case included
    EXPECT_FALSE(game.exists("out/B.DAT"));
    EXPECT_EQ(window.progress(), (Progress{0, 33, 66}));

    struct stat st {};
    ASSERT_EQ(::stat((folder + "a.dat").c_str(), &st), 0);
    std::tm local{};
    ::localtime_r(&st.st_mtime, &local);
    EXPECT_EQ(local.tm_year + 1900, 2019);
    EXPECT_EQ(local.tm_mon, 4);
    EXPECT_EQ(local.tm_mday, 17);
    EXPECT_EQ(local.tm_hour, 9);
    EXPECT_EQ(local.tm_min, 0);
    EXPECT_EQ(local.tm_sec, 12);
}

TEST(PackArchiveExtract, ManyEntriesComeOutWholeWithOrderedProgressAndTheLastDuplicateWins) {
    TempGameFolder game;
    std::string pack = game.file("p.QPAK");
    PackEntries entries;
    NameList names;
    for (int i = 0; i < 50; ++i) {
        std::string name = "e" + std::to_string(i) + ".dat";
        entries.emplace_back(name, randomBytes(1000 + i * 1500, i));
        names.push_back(name);
    }
    entries.emplace_back("e7.dat", "the later copy of e7");
    ASSERT_TRUE(writePack(pack, entries));
    std::string folder = game.makeFolder("out");
    ProgressLog window;

    ASSERT_TRUE(PackArchive(window.callbacks()).extractEntries(folder, pack, names, false));

    for (int i = 0; i < 50; ++i) {
        if (i == 7) continue;
        EXPECT_EQ(game.read("out/e" + std::to_string(i) + ".dat"), entries[i].second) << i;
    }
    EXPECT_EQ(game.read("out/e7.dat"), "the later copy of e7");
    Progress expected{0};
    for (int done = 1; done <= 51; ++done) expected.push_back(static_cast<int>(static_cast<float>(done) / 50.0f * 100));
    EXPECT_EQ(window.progress(), expected);
}

TEST(PackArchiveExtract, FailsWithoutArchiveOrFolder) {
    TempGameFolder game;
    std::string pack = game.file("p.QPAK");
    ASSERT_TRUE(writePack(pack, {{"a.dat", "alpha"}}));
    PackArchive archive;

    EXPECT_FALSE(archive.extractEntries(game.file("out/"), game.file("missing.QPAK"), {"a.dat"}, true));
    EXPECT_FALSE(game.exists("out"));
    EXPECT_FALSE(archive.extractEntries(game.file("absent/"), pack, {"a.dat"}, false));
    EXPECT_FALSE(game.exists("absent"));
}

TEST(PackArchiveExtract, RefusesEntryNamesThatLeaveTheFolder) {
    const char* names[] = {"../evil.dat", "sub/../../evil.dat", "/evil.dat", "..", "..\\evil.dat"};
    for (const char* name : names) {
        TempGameFolder game;
        std::string folder = game.makeFolder("data");
        game.makeFolder("outside");
        game.makeFolder("data/sub");
        std::string pack = game.file("evil.zip");
        ASSERT_TRUE(writePack(pack, {{"fine.dat", "fine"}, {name, "payload"}}));

        EXPECT_FALSE(PackArchive().extractEntries(folder, pack, {"fine.dat", name}, false)) << name;

        EXPECT_EQ(game.read("data/fine.dat"), "fine") << name;
        EXPECT_FALSE(game.exists("evil.dat")) << name;
        EXPECT_FALSE(game.exists("outside/evil.dat")) << name;
        EXPECT_FALSE(game.exists("data/evil.dat")) << name;
    }
}

TEST(PackArchiveExtract, FailedExtractionKeepsTheOldFile) {
    TempGameFolder game;
    std::string pack = game.file("p.QPAK");
    ASSERT_TRUE(writePack(pack, {{"big.dat", randomBytes(200000, 5)}}));
    std::string bytes = fileBytes(pack);
    bytes[bytes.size() / 2] ^= 0x33;
    game.write("p.QPAK", bytes);
    std::string folder = game.makeFolder("out");
    game.write("out/big.dat", "the old content");

    EXPECT_FALSE(PackArchive().extractEntries(folder, pack, {"big.dat"}, false));

    EXPECT_EQ(game.read("out/big.dat"), "the old content");
}

TEST(PackArchiveSplit, MarkedEntriesGoToTheSecondArchiveUnderTheirBareNames) {
    TempGameFolder game;
    std::string folder = game.makeFolder("update");
    ASSERT_TRUE(writePack(folder + "map_0.7_s.zip", {{"minimap/a.bmp", "A"},
                                                     {"map/b.bmp", "B"},
                                                     {"x.txt", "X"},
                                                     {"empty.bmp", ""},
                                                     {"data/minimap/sub/c.bmp", "C"}}));
    std::string source = fileBytes(folder + "map_0.7_s.zip");

    ASSERT_TRUE(PackArchive().splitArchive(folder, "minimap/", "map_0.7_s.zip", "map.zip", "minimap.zip"));

    EXPECT_EQ(readPack(folder + "map.zip"), (PackEntries{{"map/b.bmp", "B"}, {"x.txt", "X"}}));
    EXPECT_EQ(readPack(folder + "minimap.zip"), (PackEntries{{"a.bmp", "A"}, {"c.bmp", "C"}}));
    EXPECT_EQ(PackReader(folder + "minimap.zip").formatVersion(), 3);
    EXPECT_EQ(fileBytes(folder + "map_0.7_s.zip"), source);

    EXPECT_FALSE(PackArchive().splitArchive(folder, "minimap/", "absent.zip", "one.zip", "two.zip"));
}

TEST(PackArchiveSync, CollectsLooseFilesNamedInsideAnEntryName) {
    TempGameFolder game;
    std::string folder = game.makeFolder("item");
    ASSERT_TRUE(writePack(folder + "item.QPAK", {{"x.dat", "x"}, {"data.dat", "d"}}));
    game.write("item/x.dat", "loose x");
    game.write("item/a.dat", "substring of data.dat");
    game.write("item/Data.dat", "case differs");
    game.write("item/zz.dat", "no counterpart");
    game.write("item/at", "");  // a counterpart, but empty
    game.write("item/ta.zip", "filtered");
    game.makeFolder("item/x.d");

    NameList names;
    EXPECT_EQ(PackArchive().collectSyncFiles(folder, names), 2);
    EXPECT_EQ(names, (NameList{"a.dat", "x.dat"}));

    NameList none;
    EXPECT_EQ(PackArchive().collectSyncFiles(game.file("missing/"), none), 0);
    std::string unpacked = game.makeFolder("etc");
    game.write("etc/x.dat", "x");
    EXPECT_EQ(PackArchive().collectSyncFiles(unpacked, none), 0);
}

}  // namespace
}  // namespace nimbrel::test
