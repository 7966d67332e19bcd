// Building a folder's pack: what goes in, in which order, the progress the player sees, and
// what every result leaves on disk.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "PackArchiveTestSupport.h"
#include "pack/PackArchive.h"
#include "pack/PackBuildPipeline.h"
#include "pack/PackPasswordTable.h"
#include "tests/support/TempGameFolder.h"

namespace nimbrel::test {
namespace {

TEST(PackArchiveBuild, PacksLooseFilesInListingOrderAsVersionThreeAndLeavesThem) {
    TempGameFolder game;
    std::string folder = game.makeFolder("actor");
    game.write("actor/b.dat", "second");
    game.write("actor/a.dat", "first");
    game.write("actor/sub/inner.dat", "not packed");

    ASSERT_EQ(PackArchive().packFolder(folder, {}), PackBuildResult::Done);

    EXPECT_EQ(readPack(folder + "actor.QPAK"), (PackEntries{{"a.dat", "first"}, {"b.dat", "second"}}));
    PackReader reader(folder + "actor.QPAK");
    EXPECT_EQ(reader.formatVersion(), 3);
    EXPECT_EQ(reader.comment(), "Quorlan Zip v3");
    EXPECT_TRUE(game.exists("actor/a.dat"));
    EXPECT_TRUE(game.exists("actor/b.dat"));
    EXPECT_FALSE(game.exists("actor/actor.RPAK"));
}

TEST(PackArchiveBuild, SizeRuleAdmitsOneByteToTenMebibytesAndSkipsOthersWithoutProgress) {
    TempGameFolder game;
    std::string folder = game.makeFolder("item");
    game.write("item/empty.dat", "");
    game.write("item/exact.dat", std::string(10485760, 'e'));
    game.write("item/over.dat", std::string(10485761, 'o'));
    ProgressLog window;

    ASSERT_EQ(PackArchive(window.callbacks()).packFolder(folder, {}), PackBuildResult::Done);

    EXPECT_EQ(namesOf(readPack(folder + "item.QPAK")), std::vector<std::string>{"exact.dat"});
    // ".", "..", empty, exact, over: five counted; the two skipped by size take no step.
    EXPECT_EQ(window.progress(), (Progress{0, 20, 40, 60}));
    EXPECT_FALSE(PackArchive::passesSizeRule(0));
    EXPECT_TRUE(PackArchive::passesSizeRule(1));
    EXPECT_TRUE(PackArchive::passesSizeRule(10485760));
    EXPECT_FALSE(PackArchive::passesSizeRule(10485761));
}

TEST(PackArchiveBuild, NameFilterKeepsArchivesPacksAndTemporariesOut) {
    const struct {
        const char* name;
        bool packed;
    } cases[] = {
        {"readme.zip", false}, {"old.RPAK", false}, {"x.qpak.bak", false}, {"x.zipper", false},
        {"other.QPAK", false}, {"Data.Zip", true},  {"a.Zip", true},       {"plain.dat", true},
    };
    TempGameFolder game;
    std::string folder = game.makeFolder("sfx");
    std::vector<std::string> expected;
    for (const auto& c : cases) {
        EXPECT_EQ(PackArchive::passesNameFilter(c.name), c.packed) << c.name;
        game.write(std::string("sfx/") + c.name, "content");
        if (c.packed) expected.push_back(c.name);
    }

    ASSERT_EQ(PackArchive().packFolder(folder, {}), PackBuildResult::Done);

    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(namesOf(readPack(folder + "sfx.QPAK")), expected);
}

TEST(PackArchiveBuild, FolderOfOnlySubfoldersBuildsAnEmptyPackWithTheComment) {
    TempGameFolder game;
    std::string folder = game.makeFolder("wear");
    game.makeFolder("wear/one");
    game.makeFolder("wear/two");
    ProgressLog window;

    ASSERT_EQ(PackArchive(window.callbacks()).packFolder(folder, {}), PackBuildResult::Done);

    PackReader reader(folder + "wear.QPAK");
    ASSERT_TRUE(reader.isOpen());
    EXPECT_EQ(reader.formatVersion(), 3);
    EXPECT_EQ(reader.goToFirstEntry(), PACK_BAD_ZIP_FILE);
    EXPECT_EQ(window.progress(), (Progress{0, 25, 50, 75, 100}));
}

TEST(PackArchiveBuild, SkipsRemovedAndStagedNamesThenAddsStagedFilesLastWithProgress) {
    TempGameFolder game;
    std::string folder = game.makeFolder("etc");
    std::string staging = game.makeFolder("update");
    game.write("etc/a.dat", "a loose");
    game.write("etc/b.dat", "b loose");
    game.write("etc/c.dat", "c loose");
    game.write("update/c.dat", "c staged");
    game.write("update/n.dat", "n staged");
    ProgressLog window;

    ASSERT_EQ(PackArchive(window.callbacks()).buildPack(folder, staging, {"B.DAT"}, {"c.dat", "n.dat"}),
              PackBuildResult::Done);

    EXPECT_EQ(readPack(folder + "etc.QPAK"),
              (PackEntries{{"a.dat", "a loose"}, {"c.dat", "c staged"}, {"n.dat", "n staged"}}));
    // ".", "..", a, b, c and two staged files: every one a step of 1/7.
    EXPECT_EQ(window.progress(), (Progress{0, 14, 28, 42, 57, 71, 85, 100}));
}

TEST(PackArchiveBuild, NeverReplacesAnExistingPackAndLeavesTheFinishedTemporary) {
    TempGameFolder game;
    std::string folder = game.makeFolder("map");
    game.write("map/m.dat", "map data");
    ASSERT_TRUE(writePack(folder + "map.QPAK", {{"old.dat", "old"}}));

    EXPECT_EQ(PackArchive().packFolder(folder, {}), PackBuildResult::NotPutInPlace);

    EXPECT_EQ(readPack(folder + "map.QPAK"), (PackEntries{{"old.dat", "old"}}));
    EXPECT_EQ(readPack(folder + "map.RPAK"), (PackEntries{{"m.dat", "map data"}}));
}

TEST(PackArchiveBuild, FailuresReportTheirCodesAndTouchNoPack) {
    TempGameFolder game;
    PackArchive archive;

    EXPECT_EQ(archive.packFolder(game.file("missing/"), {}), PackBuildResult::FolderUnlistable);
    EXPECT_FALSE(game.exists("missing"));

    std::string blocked = game.makeFolder("skill");
    game.write("skill/s.dat", "skill");
    game.makeFolder("skill/skill.RPAK");  // the temporary cannot be created over a folder
    EXPECT_EQ(archive.packFolder(blocked, {}), PackBuildResult::CannotCreate);
    EXPECT_FALSE(game.exists("skill/skill.QPAK"));

    std::string folder = game.makeFolder("monster");
    std::string staging = game.makeFolder("update");
    game.write("monster/m.dat", "monster");
    EXPECT_EQ(archive.buildPack(folder, staging, {}, {"vanished.dat"}), PackBuildResult::EntryFailed);
    EXPECT_FALSE(game.exists("monster/monster.QPAK"));
    EXPECT_FALSE(game.exists("monster/monster.RPAK"));  // a failed build leaves no temporary
    EXPECT_EQ(game.read("monster/m.dat"), "monster");
}

TEST(PackArchiveBuild, ManyFilesKeepListingOrderAndContentThroughTheWorkers) {
    TempGameFolder game;
    std::string folder = game.makeFolder("resource");
    PackEntries expected;
    for (int i = 0; i < 120; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "r%03d.bin", i);
        // Alternate incompressible and repetitive content of very different sizes.
        std::string content =
            i % 2 ? randomBytes(1 + i * 997, i) : std::string(1 + i * 3001, static_cast<char>('a' + i % 26));
        game.write(std::string("resource/") + name, content);
        expected.emplace_back(name, content);
    }
    ProgressLog window;

    ASSERT_EQ(PackArchive(window.callbacks()).packFolder(folder, {}), PackBuildResult::Done);

    EXPECT_EQ(readPack(folder + "resource.QPAK"), expected);
    Progress progress = window.progress();
    ASSERT_EQ(progress.size(), 123u);  // 0, then ".", ".." and 120 files
    EXPECT_EQ(progress.back(), 100);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
}

// Which copies of a name a pack drops must follow the game's comparison (isNameInList) for
// every kind of name: ASCII, Hangul, letters with case beyond ASCII, a Kelvin sign that folds
// onto an ASCII letter, and code page 949 bytes that are not UTF-8.
TEST(PackArchiveBuild, NamesSupersededByALaterOneAreThoseTheGameTakesForIt) {
    const NameList names{"a.dat",        "A.DAT",        "\xed\x9a\xa8.wav", "b.dat",        "\xed\x9a\xa8.WAV",
                         "\xd0\x94.txt", "\xd0\xb4.TXT", "\xe2\x84\xaa.bmp", "k.bmp",        "\xc8\xbf.wav",
                         "\xc8\xbf.WAV", "\xc8\xbe.wav", "\xc3\x84.dds",     "\xc3\xa4.dds", "A.dat"};
    const std::vector<bool> superseded = PackArchive::supersededNames(names);
    ASSERT_EQ(superseded.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        const bool later = PackArchive::isNameInList(names[i], NameList(names.begin() + i + 1, names.end()));
        EXPECT_EQ(superseded[i], later) << i << " " << names[i];
    }
    EXPECT_EQ(std::count(superseded.begin(), superseded.end(), true), 7);
}

TEST(PackBuildPipeline, DeliversResultsInOrderEvenWhenTheBudgetHoldsOneFileAtATime) {
    TempGameFolder game;
    std::vector<PackBuildPipeline::Job> jobs;
    std::vector<std::string> contents;
    for (int i = 0; i < 40; ++i) {
        contents.push_back(randomBytes(100 + (i * 7919) % 50000, i));
        jobs.push_back({game.write("f" + std::to_string(i), contents.back()), contents.back().size()});
    }
    jobs.push_back({game.file("absent"), 10});

    PackBuildPipeline pipeline(jobs, 3, 1);
    for (int i = 0; i < 40; ++i) {
        PackBuildPipeline::Result result = pipeline.takeNext();
        ASSERT_EQ(result.status, 0) << i;
        EXPECT_EQ(result.size, contents[i].size()) << i;
    }
    EXPECT_EQ(pipeline.takeNext().status, PACK_INTERNAL_ERROR);
}

}  // namespace
}  // namespace nimbrel::test
