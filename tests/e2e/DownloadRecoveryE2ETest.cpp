// Downloads that go wrong on our side of the wire, through nimbrel-cli: an archive that fails
// its checks leaves the download cache at once and is fetched whole by the next run; a full
// cache disk makes the run fetch straight into the update folder; a full or read-only game
// disk is named, and the game and its version stay as they were.

#include "tests/e2e/PatchScenario.h"
#include "tests/e2e/SmallDisk.h"

namespace nimbrel::test {
namespace {

constexpr const char* kOneVersion = "CUR_VERSION = 1\r\n[VERSION = 1]\r\nroot=root_1.zip\r\n";

std::string archiveOf(const PatchScenario& s, const Files& files) {
    writeArchive(s.outer.file("made.zip"), files);
    return readFile(s.outer.file("made.zip"));
}

struct Damage {
    const char* name;
    std::string (*damage)(std::string);
};

TEST(DownloadRecoveryE2ETest, ArchiveThatFailsItsChecksIsFetchedWholeByTheNextRun) {
    const Damage damages[] = {
        {"cut 1000 bytes short", [](std::string a) { return a.substr(0, a.size() - 1000); }},
        {"an entry's bytes altered",
         [](std::string a) {
             a[a.size() / 2] = static_cast<char>(a[a.size() / 2] ^ 0x55);
             return a;
         }},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.name);
        PatchScenario s;
        s.installSettledVersionZero();
        const std::string archive = archiveOf(s, {{"readme.txt", PatchScenario::noise(7, 8000)}});
        const std::string path = std::string(PatchScenario::kPrefix) + "root_1.zip";
        s.http.setFile(std::string(PatchScenario::kPrefix) + "version.ini", kOneVersion);
        s.http.setFile(path, d.damage(archive));
        const PatchScenario::Snapshot before = s.snapshot();

        // The server keeps its validators: a second run asking conditionally would get 304.
        for (int run = 0; run < 2; ++run) {
            CliRun failed = s.run({});
            EXPECT_EQ(failed.exitCode, 1) << failed.output;
            EXPECT_EQ(s.snapshot(), before);
            EXPECT_EQ(s.installedVersion(), 0);
        }
        const std::vector<TestHttpServer::Request> requests = s.http.requests(path);
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[1].ifNoneMatch + requests[1].ifModifiedSince + requests[1].range, "");
        EXPECT_EQ(requests[1].status, 200);

        s.http.setFile(path, archive);
        EXPECT_EQ(s.run({}).lastLine(), "result 1 stage 5");
        EXPECT_EQ(readFile(s.game + "readme.txt"), PatchScenario::noise(7, 8000));
    }
}

struct DiskCase {
    const char* name;
    const char* mountedAt;  // below the scenario's folder, before the game is installed
    const char* size;
    bool readOnly;  // after the update folder is removed
    const char* lastLine;
    const char* said;  // in the output, after the game folder
};

TEST(DownloadRecoveryE2ETest, FullOrReadOnlyDiskIsWorkedAroundOrNamed) {
    const DiskCase cases[] = {
        {"full cache disk", "home/nimbrel", "size=64k", false, "result 1 stage 5", nullptr},
        {"full game disk", "game/update", "size=64k", false, "result -4 stage 4",
         "root_1.zip file download failed (not enough free space on GAMEupdate/)"},
        {"read-only game disk", "game", "size=1m", true, "result -1 stage 1",
         "version.ini file download failed (cannot write GAMEupdate/ (Read-only file system))"},
    };
    for (const DiskCase& c : cases) {
        SCOPED_TRACE(c.name);
        PatchScenario s;
        SmallDisk disk(s.outer.path() + c.mountedAt, c.size);
        if (!disk.error().empty()) GTEST_SKIP() << "cannot mount a small tmpfs here (needs root): " << disk.error();
        s.installSettledVersionZero();
        const std::string content = PatchScenario::noise(3, 256 * 1024);
        s.http.setFile(std::string(PatchScenario::kPrefix) + "version.ini", kOneVersion);
        s.http.setFile(std::string(PatchScenario::kPrefix) + "root_1.zip", archiveOf(s, {{"readme.txt", content}}));
        if (c.readOnly) {
            fs::remove(s.game + "update");
            ASSERT_TRUE(disk.makeReadOnly());
        }
        const PatchScenario::Snapshot before = s.snapshot();

        CliRun run = s.run({});
        EXPECT_EQ(run.lastLine(), c.lastLine) << run.output;
        if (c.said) {
            std::string said = c.said;
            said.replace(said.find("GAME"), 4, s.game);
            EXPECT_NE(run.output.find(said), std::string::npos) << run.output;
            EXPECT_EQ(s.snapshot(), before);
            EXPECT_EQ(s.installedVersion(), 0);
        } else {
            EXPECT_EQ(readFile(s.game + "readme.txt"), content);
        }
        // No partial download is left on the small disk.
        for (const auto& entry : fs::recursive_directory_iterator(s.outer.path() + c.mountedAt))
            EXPECT_FALSE(entry.path().string().ends_with(".partial")) << entry.path();
    }
}

}  // namespace
}  // namespace nimbrel::test
