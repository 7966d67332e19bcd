// Patch lists as the server may send them, through nimbrel-cli: a list cut short still names
// CUR_VERSION but not its files, and is refused whole before any download; a game already
// current is ready to start (exit status 0).

#include "tests/e2e/PatchScenario.h"

namespace nimbrel::test {
namespace {

struct ListCase {
    const char* name;
    const char* list;
    const char* lastLine;
    int exitCode;
    int versionAfter;
};

TEST(PatchListE2ETest, ListWithoutTheFilesOfItsVersionIsRefusedBeforeAnyDownload) {
    const ListCase cases[] = {
        {"cut after the header of its version",
         "CUR_VERSION = 2\r\n[VERSION = 1]\r\nroot=root_1.zip\r\n[VERSION = 2]\r\n", "result -1 stage 3", 1, 0},
        {"cut before its version's block", "CUR_VERSION = 2\r\n[VERSION = 1]\r\nroot=root_1.zip\r\n",
         "result -1 stage 3", 1, 0},
        {"its block holds only flags",
         "CUR_VERSION = 2\r\n[VERSION = 1]\r\nroot=root_1.zip\r\n[VERSION = 2]\r\nSELF_UPDATE=FALSE\r\n",
         "result -1 stage 3", 1, 0},
        {"its block holds only a deletion list",
         "CUR_VERSION = 2\r\n[VERSION = 1]\r\nroot=root_1.zip\r\n[VERSION = 2]\r\nDELETED=del_2.txt\r\n"
         "[VERSION = 2]\r\n",
         "result 2 stage 5", 0, 2},
        {"already current", "CUR_VERSION = 0\r\n[VERSION = 0]\r\nroot=root_1.zip\r\n", "result -6 stage 3", 0, 0},
    };
    for (const ListCase& c : cases) {
        SCOPED_TRACE(c.name);
        PatchScenario s;
        s.installSettledVersionZero();
        writeArchive(s.server + "root_1.zip", {{"readme.txt", "readme v1"}});
        PatchScenario::writeText(s.server + "del_2.txt", "old.txt\r\n");
        PatchScenario::writeText(s.server + "version.ini", c.list);
        s.publish();
        const PatchScenario::Snapshot before = s.snapshot();

        CliRun run = s.run({});
        EXPECT_EQ(run.lastLine(), c.lastLine) << run.output;
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_EQ(s.installedVersion(), c.versionAfter);
        if (c.versionAfter == 2) continue;
        EXPECT_EQ(s.snapshot(), before);
        EXPECT_EQ(s.http.requestCount(std::string(PatchScenario::kPrefix) + "root_1.zip"), 0);
        if (c.exitCode != 0) {
            EXPECT_NE(run.output.find("The patch list is incomplete: it names no patch archive or deletion list for "
                                      "version 2"),
                      std::string::npos);
        }
    }
}

}  // namespace
}  // namespace nimbrel::test
