// What a patch does to the files a player already has: a read-only file is replaced, a file
// takes the mode its archive recorded, a replaced file whose archive recorded none keeps its
// own (an executable still starts), and files outside the pack size rule stay loose through
// every later patch.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "tests/e2e/PatchScenario.h"
#include "tests/e2e/PythonZip.h"

namespace nimbrel::test {
namespace {

unsigned modeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(PatchFileSafety, FilesTakeTheRecordedModeAndReplacedFilesWithoutOneKeepTheirs) {
    ::umask(022);
    PatchScenario s;
    s.writeVersion(0);
    s.write("readme.txt", "readme v0");
    s.write("QuorlanPlus.exe", "client v0");
    s.write("notes.txt", "notes v0");
    ASSERT_EQ(::chmod((s.game + "readme.txt").c_str(), 0444), 0);
    ASSERT_EQ(::chmod((s.game + "QuorlanPlus.exe").c_str(), 0755), 0);
    writePythonZip(s.server + "root_1.zip", {{"readme.txt", "readme v1", 0},
                                             {"QuorlanPlus.exe", "client v1", 0},
                                             {"tool.sh", "tool v1", 0755},
                                             {"notes.txt", "notes v1", 0600}});
    writeArchive(s.server + "root_2.zip", {{"plain.txt", "no mode recorded"}});
    PatchScenario::writeText(s.server + "version.ini",
                             "[DEFAULT]\r\nCUR_VERSION = 2\r\n[VERSION = 1]\r\nroot=root_1.zip\r\n"
                             "[VERSION = 2]\r\nroot=root_2.zip\r\n");
    s.publish();

    CliRun run = s.run({});
    ASSERT_EQ(run.lastLine(), "result 2 stage 5") << run.output;
    const struct {
        const char* file;
        const char* content;
        unsigned mode;
    } expected[] = {
        {"readme.txt", "readme v1", 0444},        // read-only, replaced all the same, still read-only
        {"QuorlanPlus.exe", "client v1", 0755},   // still a program
        {"notes.txt", "notes v1", 0600},          // the archive's mode, as the release has it
        {"tool.sh", "tool v1", 0755},             // new: as recorded
        {"plain.txt", "no mode recorded", 0644},  // new, nothing recorded: the usual
    };
    for (const auto& e : expected) {
        SCOPED_TRACE(e.file);
        EXPECT_EQ(readFile(s.game + e.file), e.content);
        EXPECT_EQ(modeOf(s.game + e.file), e.mode);
    }
    // Nothing but the patched files: no temporaries next to them.
    EXPECT_EQ(s.filesInGame(),
              (std::vector<std::string>{"QuorlanPlus.exe", "notes.txt", "plain.txt", "readme.txt", "tool.sh"}));
}

TEST(PatchFileSafety, FilesOutsideThePackSizeRuleStayLooseThroughLaterPatches) {
    PatchScenario s;
    s.writeVersion(0);
    writeArchive(s.game + "item/item.QPAK", {{"sword.dat", "sword v0"}});
    const std::string big(11 << 20, 'b');
    writeArchive(s.server + "item_1.zip", {{"big.dat", big}, {"empty.dat", ""}, {"axe.dat", "axe v1"}});
    writeArchive(s.server + "item_2.zip", {{"bow.dat", "bow v2"}});
    PatchScenario::writeText(s.server + "version.ini",
                             "[DEFAULT]\r\nCUR_VERSION = 2\r\n[VERSION = 1]\r\nitem=item_1.zip\r\n"
                             "[VERSION = 2]\r\nitem=item_2.zip\r\n");
    s.publish();
    for (const char* sync : {"", "sync"}) {
        SCOPED_TRACE(sync);
        CliRun run = s.run(*sync ? std::vector<std::string>{sync} : std::vector<std::string>{});
        EXPECT_EQ(run.lastLine(), "result 2 stage 5") << run.output;
        Files packed = readArchive(s.game + "item/item.QPAK");
        std::sort(packed.begin(), packed.end());
        EXPECT_EQ(packed, (Files{{"axe.dat", "axe v1"}, {"bow.dat", "bow v2"}, {"sword.dat", "sword v0"}}));
        EXPECT_TRUE(readFile(s.game + "item/big.dat") == big);
        EXPECT_TRUE(fs::exists(s.game + "item/empty.dat"));
        EXPECT_EQ(fs::file_size(s.game + "item/empty.dat"), 0u);
        s.writeVersion(0);  // the same patches again, now over the loose files
    }
}

}  // namespace
}  // namespace nimbrel::test
