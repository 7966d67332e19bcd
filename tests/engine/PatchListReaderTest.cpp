// The patch list parser against real list files in a throwaway game folder: which file it
// reads, the two phases, the flags tokens, the pending deletion list rule, the version label,
// and the names it refuses.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/PatchEngine.h"
#include "engine/PatchListReader.h"
#include "platform/WindowMessages.h"
#include "tests/support/RecordingWindow.h"
#include "tests/support/TempGameFolder.h"

namespace nimbrel {
namespace {

class PatchListReaderTest : public ::testing::Test {
protected:
    PatchListReaderTest() : engine(&window) { engine.initialize(game.path()); }

    int readList(const std::string& text, int installed, int fromManualFile = 0) {
        game.write("update/version.ini", text);
        current = installed;
        return read(fromManualFile);
    }
    int read(int fromManualFile) {
        PatchListReader::Reading reading = PatchListReader(engine.context(), current).read(fromManualFile);
        patchList = std::move(reading.list);
        return reading.result;
    }

    // "kind:key:name:version" per entry, for compact expectations.
    std::vector<std::string> entries() const {
        std::vector<std::string> out;
        for (const auto& e : patchList.entries)
            out.push_back(std::to_string(e.kind) + ":" + e.folderKey + ":" + e.fileName + ":" +
                          std::to_string(e.version));
        return out;
    }

    test::TempGameFolder game;
    test::RecordingWindow window;
    PatchEngine engine;
    int current = 0;
    PatchList patchList;
};

using Entries = std::vector<std::string>;

TEST_F(PatchListReaderTest, MissingOrEmptyListIsUnusable) {
    current = 1;
    EXPECT_EQ(read(0), -1);
    EXPECT_EQ(readList("", 1), -1);
    game.write("ManualPatch.ini", "");
    EXPECT_EQ(read(1), -1);  // an empty manual list falls back to the empty server list
    EXPECT_TRUE(patchList.entries.empty());
}

TEST_F(PatchListReaderTest, StopRequestReadsNothing) {
    engine.stopFlag() = 1;
    EXPECT_EQ(readList("CUR_VERSION = 9\n[VERSION = 9]\nroot=a.zip\n", 1), -7);
    EXPECT_TRUE(patchList.entries.empty());
    EXPECT_EQ(patchList.targetVersion, 0);
}

TEST_F(PatchListReaderTest, CurrentClientIsAlreadyUpToDate) {
    EXPECT_EQ(readList("CUR_VERSION = 5\r\n[VERSION = 5]\r\nroot=a.zip\r\n", 5), -6);
    EXPECT_EQ(patchList.targetVersion, 5);
    EXPECT_TRUE(patchList.entries.empty());
    EXPECT_EQ(window.label(IDC_VERSION_LABEL), "5");
}

TEST_F(PatchListReaderTest, InstalledBlocksAreSkippedAndLaterBlocksAllTaken) {
    const std::string list =
        "CUR_VERSION = 11\r\n"
        "[VERSION = 9]\r\n"
        "root=old.zip\r\n"
        "SELF_UPDATE=TRUE,DELETED=old_del.txt\r\n"
        "[VERSION = 10]\r\n"
        "root=ten.zip\r\n"
        "[VERSION = 11]\r\n"
        "actor=eleven.zip\r\n"
        "[VERSION = 3]\r\n"  // once pending, lower numbers still count
        "minimap=three.zip\r\n";
    EXPECT_EQ(readList(list, 9), 0);
    EXPECT_EQ(entries(), (Entries{"0:root:ten.zip:10", "0:actor:eleven.zip:11", "0:minimap:three.zip:3"}));
    EXPECT_FALSE(patchList.selfUpdateRequired);
    EXPECT_EQ(patchList.targetVersion, 11);
    EXPECT_EQ(window.labelHistory(IDC_VERSION_LABEL), (std::vector<std::string>{"9"}));
}

TEST_F(PatchListReaderTest, TargetFoldersFollowTheKey) {
    const std::string list =
        "CUR_VERSION = 2\n[VERSION = 2]\nroot=r.zip\nminimap=m.zip\nRoot=c.zip\nsfx=s.zip\nmap\\sub=d.zip\n";
    ASSERT_EQ(readList(list, 1), 0);
    ASSERT_EQ(patchList.entries.size(), 5u);
    const std::string base = game.path();
    EXPECT_EQ(patchList.entries[0].targetFolder, base);
    EXPECT_EQ(patchList.entries[1].targetFolder, base + "map/minimap/");
    EXPECT_EQ(patchList.entries[2].targetFolder, base + "Root/");
    EXPECT_EQ(patchList.entries[3].targetFolder, base + "sfx/");
    EXPECT_EQ(patchList.entries[4].targetFolder, base + "map/sub/");
    EXPECT_EQ(patchList.entries[4].folderKey, "map\\sub");
}

TEST_F(PatchListReaderTest, FileLinesKeepBlanksAndDuplicates) {
    const std::string list = "CUR_VERSION = 2\n[VERSION = 2]\nroot=a.zip\nroot=a.zip\nitem = b.zip\n";
    ASSERT_EQ(readList(list, 1), 0);
    EXPECT_EQ(entries(), (Entries{"0:root:a.zip:2", "0:root:a.zip:2", "0:item : b.zip:2"}));
    EXPECT_EQ(patchList.entries[2].targetFolder, game.path() + "item /");
}

TEST_F(PatchListReaderTest, VersionLineInsideThePendingBlocksIsAFileLine) {
    ASSERT_EQ(readList("CUR_VERSION = 3\n[VERSION = 3]\nroot=a.zip\nCUR_VERSION = 9\n", 2), 0);
    EXPECT_EQ(entries(), (Entries{"0:root:a.zip:3", "0:CUR_VERSION : 9:3"}));
    EXPECT_EQ(patchList.targetVersion, 3);
}

TEST_F(PatchListReaderTest, NumbersAreReadAtFixedColumns) {
    // A header whose number does not start at its column counts as version 0: installed.
    ASSERT_EQ(readList("CUR_VERSION = 4\n[VERSION=3]\nroot=skipped.zip\n[VERSION = 4]\nroot=a.zip\n", 2), 0);
    EXPECT_EQ(entries(), (Entries{"0:root:a.zip:4"}));

    struct Case {
        const char* line;
        std::size_t index;
        int number;
    } cases[] = {
        {"CUR_VERSION = 17", 14, 17},  {"CUR_VERSION = -3", 14, -3},
        {"CUR_VERSION =  +8x", 14, 8}, {"CUR_VERSION=17", 14, 0},
        {"CUR_VERSION = ", 14, 0},     {"[VERSION = 12]", 11, 12},
        {"[VERSION = x]", 11, 0},      {"CUR_VERSION = 99999999999", 14, 2147483647},
    };
    for (const auto& c : cases) EXPECT_EQ(PatchListReader::numberAt(c.line, c.index), c.number) << c.line;
}

TEST_F(PatchListReaderTest, FlagsLineSetsSelfUpdateAndTheDeletionListEntersAtTheNextBlock) {
    const std::string list =
        "CUR_VERSION = 4\n"
        "[VERSION = 2]\n"
        "SELF_UPDATE=TRUE,DELETED=del2.txt\n"
        "root=a.zip\n"
        "[VERSION = 3]\n"
        "DELETED=first.txt;MANAGEMENT=x\n"
        "DELETED=second.txt\n"  // the last of a block wins
        "[VERSION = 4]\n"
        "DELETED=never.txt\n";  // the last block's list never enters
    ASSERT_EQ(readList(list, 1), 0);
    EXPECT_TRUE(patchList.selfUpdateRequired);
    EXPECT_EQ(entries(), (Entries{"0:root:a.zip:2", "1:root:del2.txt:2", "1:root:second.txt:3"}));
    EXPECT_EQ(patchList.entries[1].targetFolder, game.path() + "update/");
}

TEST_F(PatchListReaderTest, FlagsTokensThatDoNotQualifyChangeNothing) {
    const std::string list =
        "CUR_VERSION = 3\n"
        "[VERSION = 2]\n"
        "SELF_UPDATE=FALSE\n"
        "SELF_UPDATE TRUE\n"        // no "=" in the token
        "DELETED = spaced.txt\n"    // the blanks split it: no list
        "root=SHORTCUT_icon.zip\n"  // a flag word makes it a flags line, not a file
        "SHORTCUT=desktop\n"
        "[VERSION = 3]\n"
        "root=three.zip\n";
    ASSERT_EQ(readList(list, 1), 0);
    EXPECT_FALSE(patchList.selfUpdateRequired);
    EXPECT_EQ(entries(), (Entries{"0:root:three.zip:3"}));
}

TEST_F(PatchListReaderTest, ManualListMustContinueTheInstalledVersion) {
    const std::string manual = "BGN_VERSION = %d\nCUR_VERSION = 6\n[VERSION = 6]\nroot=m.zip\n";
    struct Case {
        int begin;
        int result;
    } cases[] = {{6, 0}, {5, 0}, {2, 0}, {7, -12}, {9, -12}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.begin);
        patchList.entries.clear();
        window.clear();
        char text[128];
        std::snprintf(text, sizeof text, manual.c_str(), c.begin);
        game.write("ManualPatch.ini", text);
        current = 5;
        EXPECT_EQ(read(1), c.result);
        EXPECT_EQ(window.labelHistory(IDC_VERSION_LABEL).front(), std::to_string(c.begin));
        EXPECT_EQ(patchList.entries.size(), c.result == 0 ? 1u : 0u);
    }
}

TEST_F(PatchListReaderTest, BeginVersionCountsOnlyInManualMode) {
    game.write("update/version.ini", "BGN_VERSION = 9\nCUR_VERSION = 9\n[VERSION = 9]\nroot=s.zip\n");
    current = 5;
    EXPECT_EQ(read(0), 0);
    EXPECT_EQ(entries(), (Entries{"0:root:s.zip:9"}));
}

TEST_F(PatchListReaderTest, ManualModeReadsManualPatchIniFirst) {
    game.write("update/version.ini", "CUR_VERSION = 9\n[VERSION = 9]\nroot=server.zip\n");
    game.write("ManualPatch.ini", "BGN_VERSION = 6\nCUR_VERSION = 6\n[VERSION = 6]\nroot=manual.zip\n");
    current = 5;
    ASSERT_EQ(read(1), 0);
    EXPECT_EQ(entries(), (Entries{"0:root:manual.zip:6"}));
}

// Names that would let a patch server write outside the game folder, or overflow the fixed
// fields older tools expect, refuse the whole list; the longest allowed name is taken.
TEST_F(PatchListReaderTest, UnsafeOrOverlongNameRefusesTheWholeList) {
    const std::string longName(260, 'n');
    const std::vector<std::string> badLines{"root=../escape.zip",  "root=/etc/passwd",  "root=sub/inner.zip",
                                            "root=sub\\inner.zip", "../up=a.zip",       "/abs=a.zip",
                                            "map/../..=a.zip",     "=nokey.zip",        "root=",
                                            "root=" + longName,    longName + "=a.zip", "DELETED=../../victim.txt",
                                            "DELETED=" + longName};
    for (const auto& bad : badLines) {
        patchList.entries.clear();
        const std::string list =
            "CUR_VERSION = 2\n[VERSION = 2]\nroot=kept.zip\nSELF_UPDATE=TRUE\n" + bad + "\n[VERSION = 3]\n";
        EXPECT_EQ(readList(list, 1), -1) << bad;
        EXPECT_TRUE(patchList.entries.empty()) << bad;
        EXPECT_FALSE(patchList.selfUpdateRequired) << bad;
    }
    ASSERT_EQ(readList("CUR_VERSION = 2\n[VERSION = 2]\nroot=" + std::string(259, 'k') + "\n", 1), 0);
    EXPECT_EQ(entries(), (Entries{"0:root:" + std::string(259, 'k') + ":2"}));
}

TEST_F(PatchListReaderTest, NamesInCodePage949BecomeUtf8) {
    // "패치" in code page 949, and the same name already in UTF-8.
    const std::string cp949 = "\xC6\xD0\xC4\xA1";
    ASSERT_EQ(readList("CUR_VERSION = 2\n[VERSION = 2]\nroot=" + cp949 + ".zip\nroot=패치2.zip\n", 1), 0);
    EXPECT_EQ(entries(), (Entries{"0:root:패치.zip:2", "0:root:패치2.zip:2"}));
}

TEST_F(PatchListReaderTest, EveryTruncatedPrefixParsesWithoutHarm) {
    const std::string list =
        "CUR_VERSION = 12\r\n[VERSION = 11]\r\nSELF_UPDATE=TRUE,DELETED=d.txt\r\nroot=a.zip\r\n[VERSION = "
        "12]\r\nmap=b.zip\r\n";
    for (std::size_t n = 0; n <= list.size(); ++n) {
        patchList.entries.clear();
        int result = readList(list.substr(0, n), 10);
        ASSERT_TRUE(result == 0 || result == -1 || result == -6) << n;
        for (const auto& e : patchList.entries) ASSERT_FALSE(e.fileName.empty()) << n;
    }
}

}  // namespace
}  // namespace nimbrel
