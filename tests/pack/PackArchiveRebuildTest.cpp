// Rebuilding an existing pack: which entries survive, where replacements go, how copies are
// keyed, and that the old pack is only ever replaced whole by a complete new one.

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "PackArchiveTestSupport.h"
#include "pack/PackArchive.h"
#include "pack/PackPasswordTable.h"
#include "pack/PackReader.h"
#include "tests/support/TempGameFolder.h"

namespace nimbrel::test {
namespace {

TEST(PackArchiveRebuild, RebuildKeepsOrderAndPutsReplacementsLast) {
    TempGameFolder game;
    std::string folder = game.makeFolder("actor");
    std::string staging = game.makeFolder("update");
    ASSERT_TRUE(writePack(folder + "actor.QPAK",
                          {{"a.dat", "a old"}, {"b.dat", "b old"}, {"c.dat", "c old"}, {"d.dat", "d old"}}));
    game.write("update/B.dat", "b new");
    game.write("update/e.dat", "e new");
    ProgressLog window;

    ASSERT_EQ(PackArchive(window.callbacks()).rebuildPack(folder, staging, {"D.DAT"}, {"B.dat", "e.dat"}),
              PackBuildResult::Done);

    EXPECT_EQ(readPack(folder + "actor.QPAK"),
              (PackEntries{{"a.dat", "a old"}, {"c.dat", "c old"}, {"B.dat", "b new"}, {"e.dat", "e new"}}));
    EXPECT_FALSE(game.exists("actor/actor.RPAK"));
    // Four old entries (kept and dropped alike) and two added files, 1/6 each.
    EXPECT_EQ(window.progress(), (Progress{0, 16, 33, 50, 66, 83, 100}));
}

TEST(PackArchiveRebuild, KeptEntriesKeepTheirDatesAndComeOutUnderTheWritePassword) {
    TempGameFolder game;
    std::string folder = game.makeFolder("item");
    std::string payload = randomBytes(300000, 7);
    ASSERT_TRUE(writePack(folder + "item.QPAK", {{"x.dat", payload}, {"y.dat", std::string(50000, 'y')}}));

    ASSERT_EQ(PackArchive().rebuildPack(folder, folder, {}, {}), PackBuildResult::Done);

    PackReader reader(folder + "item.QPAK");
    ASSERT_EQ(reader.goToFirstEntry(), PACK_OK);
    for (std::uint32_t minute = 0; minute < 2; ++minute) {
        ASSERT_EQ(reader.readEntryInfo(), PACK_OK);
        EXPECT_EQ(reader.currentInfo().flag & 1, 1);
        EXPECT_EQ(reader.currentInfo().date.tm_min, minute);
        EXPECT_EQ(reader.currentInfo().date.tm_year, 2019u);
        if (minute == 0) reader.goToNextEntry();
    }
    EXPECT_EQ(readPack(folder + "item.QPAK"), (PackEntries{{"x.dat", payload}, {"y.dat", std::string(50000, 'y')}}));
}

TEST(PackArchiveRebuild, EntriesOutsideTheSizeRuleAreKeptWithAStepEach) {
    TempGameFolder game;
    std::string folder = game.makeFolder("etc");
    ASSERT_TRUE(writePack(folder + "etc.QPAK",
                          {{"empty.dat", ""}, {"huge.dat", std::string(10485761, 'h')}, {"ok.dat", "ok"}}));
    ProgressLog window;

    ASSERT_EQ(PackArchive(window.callbacks()).rebuildPack(folder, folder, {}, {}), PackBuildResult::Done);

    // A file a patch delivered is never lost, whatever its size.
    EXPECT_EQ(readPack(folder + "etc.QPAK"),
              (PackEntries{{"empty.dat", ""}, {"huge.dat", std::string(10485761, 'h')}, {"ok.dat", "ok"}}));
    EXPECT_EQ(window.progress(), (Progress{0, 33, 66, 100}));
}

// Archives from elsewhere (the release tools, older packs) arrive plain, stored or under the
// version-0 password; a rebuild turns each into an ordinary version-3 pack entry.
TEST(PackArchiveRebuild, EntriesOfOtherArchiveKindsAreCopiedUnderTheWritePassword) {
    if (::access("/usr/bin/zip", X_OK) != 0) GTEST_SKIP() << "Info-ZIP zip is not installed";
    const struct {
        const char* what;
        std::vector<std::string> options;
    } kinds[] = {
        {"plain deflated", {"-9"}},
        {"stored", {"-0"}},
        {"version-0 password", {"-P", PackPasswordTable::instance().password(0)}},
    };
    for (const auto& kind : kinds) {
        TempGameFolder game;
        std::string folder = game.makeFolder("sfx");
        std::string source = game.makeFolder("src");
        std::string random = randomBytes(70000, 3);
        game.write("src/r.bin", random);
        game.write("src/t.txt", std::string(40000, 't'));
        std::vector<std::string> args{"/usr/bin/zip", "-q"};
        args.insert(args.end(), kind.options.begin(), kind.options.end());
        args.insert(args.end(), {folder + "sfx.QPAK", "r.bin", "t.txt"});
        ASSERT_EQ(runProgram(source, args), 0) << kind.what;

        ASSERT_EQ(PackArchive().rebuildPack(folder, folder, {}, {}), PackBuildResult::Done) << kind.what;

        EXPECT_EQ(readPack(folder + "sfx.QPAK"), (PackEntries{{"r.bin", random}, {"t.txt", std::string(40000, 't')}}))
            << kind.what;
        PackReader reader(folder + "sfx.QPAK");
        EXPECT_EQ(reader.formatVersion(), 3) << kind.what;
        ASSERT_EQ(reader.goToFirstEntry(), PACK_OK);
        ASSERT_EQ(reader.readEntryInfo(), PACK_OK);
        EXPECT_EQ(reader.currentInfo().flag & 1, 1) << kind.what;
    }
}

// An entry that must be decrypted to move under the write password is checked on the way:
// damage fails the rebuild and the old pack stays.
TEST(PackArchiveRebuild, DamagedEntryUnderAnotherPasswordFailsWithMinusThreeAndKeepsTheOldPack) {
    if (::access("/usr/bin/zip", X_OK) != 0) GTEST_SKIP() << "Info-ZIP zip is not installed";
    TempGameFolder game;
    std::string folder = game.makeFolder("map");
    std::string source = game.makeFolder("src");
    game.write("src/a.dat", "small");
    game.write("src/big.dat", std::string(200000, 'b'));
    ASSERT_EQ(runProgram(source, {"/usr/bin/zip", "-q", "-P", PackPasswordTable::instance().password(0),
                                  folder + "map.QPAK", "a.dat", "big.dat"}),
              0);
    std::string bytes = fileBytes(folder + "map.QPAK");
    bytes[bytes.size() / 2] ^= 0x5a;  // inside big.dat's data
    game.write("map/map.QPAK", bytes);

    EXPECT_EQ(PackArchive().rebuildPack(folder, folder, {}, {}), PackBuildResult::EntryFailed);

    EXPECT_EQ(fileBytes(folder + "map.QPAK"), bytes);
    EXPECT_FALSE(game.exists("map/map.RPAK"));
}

// An entry already under the write password travels as stored bytes, unread: the new pack
// holds exactly the old bytes, so damage is neither repaired, hidden nor made worse.
TEST(PackArchiveRebuild, DamagedEntryUnderTheWritePasswordIsCopiedByteForByte) {
    TempGameFolder game;
    std::string folder = game.makeFolder("map");
    ASSERT_TRUE(writePack(folder + "map.QPAK", {{"a.dat", "small"}, {"big.dat", randomBytes(200000, 11)}}));
    std::string bytes = fileBytes(folder + "map.QPAK");
    bytes[bytes.size() / 2] ^= 0x5a;  // inside big.dat's data
    game.write("map/map.QPAK", bytes);
    PackEntries before = readPack(folder + "map.QPAK");

    EXPECT_EQ(PackArchive().rebuildPack(folder, folder, {}, {}), PackBuildResult::Done);

    EXPECT_EQ(readPack(folder + "map.QPAK"), before);
    EXPECT_EQ(before.back().first.rfind("<error", 0), 0u);
}

// A patch that replaces a damaged entry repairs the pack: the dropped entry is never read.
TEST(PackArchiveRebuild, DamagedEntryThatIsReplacedDoesNotBlockTheRebuild) {
    TempGameFolder game;
    std::string folder = game.makeFolder("map");
    std::string staging = game.makeFolder("update");
    ASSERT_TRUE(writePack(folder + "map.QPAK", {{"a.dat", "small"}, {"big.dat", randomBytes(200000, 11)}}));
    std::string bytes = fileBytes(folder + "map.QPAK");
    bytes[bytes.size() / 2] ^= 0x5a;
    game.write("map/map.QPAK", bytes);
    game.write("update/big.dat", "repaired");

    ASSERT_EQ(PackArchive().rebuildPack(folder, staging, {}, {"big.dat"}), PackBuildResult::Done);

    EXPECT_EQ(readPack(folder + "map.QPAK"), (PackEntries{{"a.dat", "small"}, {"big.dat", "repaired"}}));
}

TEST(PackArchiveRebuild, FailuresReportTheirCodesAndKeepTheOldPack) {
    TempGameFolder game;
    PackArchive archive;

    std::string noPack = game.makeFolder("monster");
    EXPECT_EQ(archive.rebuildPack(noPack, noPack, {}, {}), PackBuildResult::PackUnreadable);
    EXPECT_FALSE(game.exists("monster/monster.RPAK"));

    std::string empty = game.makeFolder("wear");
    ASSERT_TRUE(writePack(empty + "wear.QPAK", {}));
    std::string emptyBytes = fileBytes(empty + "wear.QPAK");
    EXPECT_EQ(archive.rebuildPack(empty, empty, {}, {}), PackBuildResult::PackUnreadable);
    EXPECT_EQ(fileBytes(empty + "wear.QPAK"), emptyBytes);

    std::string blocked = game.makeFolder("skill");
    ASSERT_TRUE(writePack(blocked + "skill.QPAK", {{"s.dat", "s"}}));
    game.makeFolder("skill/skill.RPAK");
    EXPECT_EQ(archive.rebuildPack(blocked, blocked, {}, {}), PackBuildResult::CannotCreate);
    EXPECT_EQ(readPack(blocked + "skill.QPAK"), (PackEntries{{"s.dat", "s"}}));

    std::string folder = game.makeFolder("etc");
    ASSERT_TRUE(writePack(folder + "etc.QPAK", {{"e.dat", "e"}}));
    EXPECT_EQ(archive.rebuildPack(folder, game.makeFolder("update"), {}, {"vanished.dat"}),
              PackBuildResult::EntryFailed);
    EXPECT_EQ(readPack(folder + "etc.QPAK"), (PackEntries{{"e.dat", "e"}}));
}

// The stored bytes of an archive's entry, as the file holds them.
std::string storedBytes(const std::string& archive, const std::string& name) {
    PackReader reader(archive);
    std::vector<unsigned char> stored;
    reader.forEachEntry(
        [&](PackReader& r) { return r.currentName() == name && r.readStoredEntry(stored) == PACK_OK ? 1 : PACK_OK; });
    return std::string(stored.begin(), stored.end());
}

// Entries of patch archives move into a pack checked against their CRC; damage in any of them
// fails the update before it commits, and the pack stays as it was. Entries already under the
// write password with the right check byte go in as they are stored.
TEST(PackArchiveRebuild, PatchEntriesMoveInCheckedWhateverTheirKind) {
    if (::access("/usr/bin/zip", X_OK) != 0) GTEST_SKIP() << "Info-ZIP zip is not installed";
    const std::string random = randomBytes(300000, 7);
    const std::string text(90000, 't');
    const struct {
        const char* what;
        std::vector<std::string> zipOptions;  // empty: written by our own writer
        bool damaged;
    } kinds[] = {
        {"our writer", {}, false},
        {"our writer, damaged", {}, true},
        {"deflated", {"-9"}, false},
        {"deflated, damaged", {"-9"}, true},
        {"stored", {"-0"}, false},
        {"stored, damaged", {"-0"}, true},
        {"version-0 password", {"-P", PackPasswordTable::instance().password(0)}, false},
        {"version-0 password, damaged", {"-P", PackPasswordTable::instance().password(0)}, true},
    };
    for (const auto& kind : kinds) {
        TempGameFolder game;
        std::string folder = game.makeFolder("sfx");
        std::string source = game.makeFolder("update");
        ASSERT_TRUE(writePack(folder + "sfx.QPAK", {{"old.dat", "old"}, {"r.bin", "old r"}}));
        const std::string patch = source + "patch.zip";
        if (kind.zipOptions.empty()) {
            ASSERT_TRUE(writePack(patch, {{"t.txt", text}, {"r.bin", random}}));
        } else {
            game.write("update/r.bin", random);
            game.write("update/t.txt", text);
            std::vector<std::string> args{"/usr/bin/zip", "-q"};
            args.insert(args.end(), kind.zipOptions.begin(), kind.zipOptions.end());
            args.insert(args.end(), {patch, "t.txt", "r.bin"});
            ASSERT_EQ(runProgram(source, args), 0) << kind.what;
        }
        if (kind.damaged) {
            std::string bytes = fileBytes(patch);
            bytes[bytes.size() / 2] ^= 0x5a;  // inside r.bin's data
            game.write("update/patch.zip", bytes);
        }
        const std::string before = fileBytes(folder + "sfx.QPAK");

        const PackBuildResult result =
            PackArchive().updatePack(folder, source, {}, {"r.bin", "t.txt"}, true, {patch, patch});

        if (kind.damaged) {
            EXPECT_EQ(result, PackBuildResult::EntryFailed) << kind.what;
            EXPECT_EQ(fileBytes(folder + "sfx.QPAK"), before) << kind.what;
            EXPECT_FALSE(game.exists("sfx/sfx.QPAK.journal")) << kind.what;
            continue;
        }
        ASSERT_EQ(result, PackBuildResult::Done) << kind.what;
        EXPECT_EQ(readPack(folder + "sfx.QPAK"), (PackEntries{{"old.dat", "old"}, {"r.bin", random}, {"t.txt", text}}))
            << kind.what;
        if (kind.zipOptions.empty()) {
            EXPECT_EQ(storedBytes(folder + "sfx.QPAK", "r.bin"), storedBytes(patch, "r.bin")) << kind.what;
        }
    }
}

// A patch archive that holds a name twice (its listing names it twice too) gives the pack one
// entry, the last copy, whether the pack is built or updated.
TEST(PackArchiveRebuild, ANameTwiceInAPatchArchiveMovesInOnceAsItsLastCopy) {
    for (bool packExists : {false, true}) {
        SCOPED_TRACE(packExists);
        TempGameFolder game;
        const std::string folder = game.makeFolder("item");
        const std::string patch = game.file("patch.zip");
        ASSERT_TRUE(writePack(patch, {{"a.dat", "first"}, {"b.dat", "b"}, {"a.dat", "second"}}));
        if (packExists) {
            ASSERT_TRUE(writePack(folder + "item.QPAK", {{"old.dat", "old"}}));
        }

        ASSERT_EQ(PackArchive().updatePack(folder, game.path(), {}, {"a.dat", "b.dat", "a.dat"}, packExists,
                                           {patch, patch, patch}),
                  PackBuildResult::Done);
        PackEntries expected{{"b.dat", "b"}, {"a.dat", "second"}};
        if (packExists) expected.insert(expected.begin(), {"old.dat", "old"});
        EXPECT_EQ(readPack(folder + "item.QPAK"), expected);
    }
}

TEST(PackArchiveRebuild, UpdatePackCreatesTheFolderAndBuildsOrRebuilds) {
    TempGameFolder game;
    std::string staging = game.makeFolder("update");
    game.write("update/n.dat", "new");
    std::string folder = game.file("interface/");
    PackArchive archive;

    ASSERT_EQ(archive.updatePack(folder, staging, {}, {"n.dat"}, false), PackBuildResult::Done);
    EXPECT_EQ(readPack(folder + "interface.QPAK"), (PackEntries{{"n.dat", "new"}}));

    game.write("update/n.dat", "newer");
    game.write("update/m.dat", "more");
    ASSERT_EQ(archive.updatePack(folder, staging, {}, {"m.dat", "n.dat"}, true), PackBuildResult::Done);
    EXPECT_EQ(readPack(folder + "interface.QPAK"), (PackEntries{{"m.dat", "more"}, {"n.dat", "newer"}}));
}

}  // namespace
}  // namespace nimbrel::test
