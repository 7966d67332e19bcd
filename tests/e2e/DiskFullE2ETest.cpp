// A full or read-only disk while the update step writes, through nimbrel-cli: the player is told
// which folder and why, the version stays, the game folder is as it was (byte for byte, or file
// for file where the packing pass moved loose files into their pack), and the next run with room
// ends at the new version. A signed patch that plainly cannot fit is refused before its first
// download.

#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <set>
#include <sstream>

#include "tests/e2e/GameFolderView.h"
#include "tests/e2e/PatchScenario.h"
#include "tests/e2e/ReleaseToolRun.h"
#include "tests/e2e/SmallDisk.h"

namespace nimbrel::test {
namespace {

// Writes a file into folder until its disk has no byte left.
void fillUp(const std::string& folder) {
    const int fd = ::open((folder + "filler.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    const std::string block(4096, 'f');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    ::close(fd);
}

// Each file the game sees, loose or packed, with its content: "PATH SHA256" lines, sorted.
std::set<std::string> seenFiles(const std::string& game, const std::string& packPassword) {
    std::set<std::string> files;
    std::istringstream view(GameFolderView::read(game, packPassword));
    for (std::string kind, path, mode, sha; view >> kind >> path;) {
        if (kind == "folder") continue;
        if (kind == "file") view >> mode;
        view >> sha;
        files.insert(path + " " + sha);
    }
    return files;
}

struct DiskCase {
    const char* name;
    const char* mountedAt;  // inside the game folder; "" for the game folder itself
    const char* size;
    const char* patchList;  // version 1's lines
    void (*patch)(PatchScenario&);
    bool fill;      // the disk is filled to the brim once the patch is in place
    bool readOnly;  // the disk is made read-only once the patch is in place
    // Loose files of a packed folder go into its pack after every run: the game sees the same
    // files, no longer byte for byte where they were.
    bool repacked;
    const char* said;  // GAME stands for the game folder
};

TEST(DiskFullE2ETest, FullOrReadOnlyDiskDuringTheUpdateIsNamedAndLosesNothing) {
    const std::string packPassword = runWatched({QPAK_PATH, "password"}, {}).lastLine();
    const DiskCase cases[] = {
        {"full disk while extracting loose files", "data", "size=64k", "data=data_1.zip\r\n",
         [](PatchScenario& s) {
             writeArchive(s.server + "data_1.zip", {{"cfg.ini", PatchScenario::noise(1, 256 * 1024)}});
         },
         false, false, false, "Cannot write the patched files (not enough free space on GAMEdata/)"},
        {"full disk while updating a pack in place", "item", "size=192k", "item=item_1.zip\r\n",
         [](PatchScenario& s) {
             writeArchive(s.game + "item/item.QPAK",
                          {{"sword.dat", "sword v0"}, {"bulk.bin", PatchScenario::noise(2, 100 * 1024)}});
             writeArchive(s.server + "item_1.zip", {{"axe.dat", PatchScenario::noise(3, 256 * 1024)}});
         },
         false, false, false, "Make PAK Failed (not enough free space on GAMEitem/)"},
        {"full disk while rebuilding a pack", "item", "size=192k", "item=item_1.zip\r\n",
         [](PatchScenario& s) {
             writeArchive(s.game + "item/item.QPAK",
                          {{"sword.dat", "sword v0"}, {"bulk.bin", PatchScenario::noise(2, 100 * 1024)}});
             writeArchive(s.server + "item_1.zip", {{"bulk.bin", PatchScenario::noise(4, 120 * 1024)}});
         },
         false, false, false, "Make PAK Failed (not enough free space on GAMEitem/)"},
        {"full disk while building a folder's first pack", "skill", "size=64k", "skill=skill_1.zip\r\n",
         [](PatchScenario& s) {
             s.write("skill/boom.wav", "boom v0");
             s.write("skill/hiss.wav", "hiss v0");
             writeArchive(s.server + "skill_1.zip", {{"boom.wav", PatchScenario::noise(5, 256 * 1024)}});
         },
         false, false, true, "Make PAK Failed (not enough free space on GAMEskill/)"},
        {"full disk while splitting a map archive", "update", "size=320k", "map=map_1.zip\r\n",
         [](PatchScenario& s) {
             writeArchive(s.server + "map_1.zip",
                          {{"field.map", PatchScenario::noise(6, 200 * 1024)}, {"minimap/m1.bmp", "m1 v1"}});
         },
         false, false, false, "Cannot write the patched files (not enough free space on GAMEupdate/)"},
        // A folder the game has already takes no room: only the version is left to write.
        {"full disk while writing the version", "", "size=2m", "root=root_1.zip\r\n",
         [](PatchScenario& s) {
             fs::create_directories(s.game + "textures");
             writeArchive(s.server + "root_1.zip", {{"textures/", ""}});
         },
         true, false, false, "Disk full while accessing GAMEversion.ini.\nnot enough free space on GAME"},
        {"read-only game folder", "", "size=1m", "data=data_1.zip\r\n",
         [](PatchScenario& s) {
             writeArchive(s.server + "data_1.zip", {{"cfg.ini", "cfg v1"}});
         },
         false, true, false, "Cannot write the patched files (cannot write GAMEdata/ (Read-only file system))"},
    };
    for (const DiskCase& c : cases) {
        SCOPED_TRACE(c.name);
        PatchScenario s;
        SmallDisk disk(s.game + c.mountedAt, c.size);
        if (!disk.error().empty()) {
            GTEST_SKIP() << "cannot mount a small tmpfs here (needs root): " << disk.error();
        }
        s.installSettledVersionZero();
        c.patch(s);
        PatchScenario::writeText(s.server + "version.ini",
                                 std::string("[DEFAULT]\r\nCUR_VERSION = 1\r\n[VERSION = 1]\r\n") + c.patchList);
        s.placeInUpdateFolder();
        if (c.fill) fillUp(s.game + c.mountedAt);
        if (c.readOnly) {
            ASSERT_TRUE(disk.makeReadOnly());
        }
        const PatchScenario::Snapshot before = s.snapshot();
        const std::set<std::string> seenBefore = seenFiles(s.game, packPassword);

        CliRun failed = s.run({"DontConnect"});
        EXPECT_EQ(failed.exitCode, 1) << failed.output;
        std::string said = c.said;
        for (std::size_t at = said.find("GAME"); at != std::string::npos; at = said.find("GAME", at + s.game.size()))
            said.replace(at, 4, s.game);
        EXPECT_NE(failed.output.find(said), std::string::npos) << failed.output;
        if (c.repacked)
            EXPECT_EQ(seenFiles(s.game, packPassword), seenBefore);
        else
            EXPECT_EQ(s.snapshot(), before);
        EXPECT_EQ(s.installedVersion(), 0);

        ASSERT_TRUE(disk.giveRoom());
        CliRun next = s.run({"DontConnect"});
        EXPECT_EQ(next.lastLine(), "result 1 stage 5") << next.output;
        EXPECT_EQ(s.installedVersion(), 1);
    }
}

// Every file of the game with its content, but the launcher's own: the emptied download folder
// and the serial of the list it verified.
std::map<std::string, std::string> gameFiles(const std::string& game) {
    std::map<std::string, std::string> files;
    for (auto it = fs::recursive_directory_iterator(game); it != fs::recursive_directory_iterator(); ++it) {
        const std::string relative = it->path().lexically_relative(game).generic_string();
        if (relative == "update") it.disable_recursion_pending();
        if (it->is_regular_file() && relative != "version.serial") files[relative] = readFile(it->path().string());
    }
    return files;
}

TEST(DiskFullE2ETest, SignedPatchThatCannotFitIsRefusedBeforeAnyArchiveIsFetched) {
    TempGameFolder work;
    const std::string runtime = work.makeFolder("runtime");
    const std::string game = work.path() + "game/";
    SmallDisk disk(game, "size=1m");
    if (!disk.error().empty()) {
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root): " << disk.error();
    }
    work.write("v0/readme.txt", "readme 0");
    work.write("v1/readme.txt", "readme 1");
    work.write("v1/data/big.bin", PatchScenario::noise(7, 2 << 20));
    const std::string server = work.makeFolder("server/plus_real");
    const std::string publicKey =
        runReleaseTool({NIMBREL_PUBLISH_PATH, "keygen", work.file("a.key")}, runtime).lastLine();
    ASSERT_EQ(runReleaseTool({NIMBREL_PUBLISH_PATH, "make", work.file("v0"), work.file("v1"), server, "--sign",
                              work.file("a.key")},
                             runtime)
                  .exitCode,
              0);
    fs::copy(work.file("v0"), game, fs::copy_options::recursive);
    ASSERT_EQ(runReleaseTool({NIMBREL_CLI_PATH, "--game-dir", game, "version", "--write", "0"}, runtime).exitCode, 0);
    TestHttpServer http;
    http.serveFolder("/server/plus_real/", server);
    auto patch = [&] {
        return runReleaseTool({NIMBREL_CLI_PATH, "--game-dir", game, "--patch-url", http.url("/server/plus_real/")},
                              runtime, {"NIMBREL_PATCH_PUBLIC_KEY=" + publicKey, "XDG_CACHE_HOME=" + work.path()});
    };
    const auto before = gameFiles(game);

    ProcessOutput refused = patch();
    EXPECT_EQ(refused.exitCode, 1) << refused.out << refused.err;
    EXPECT_EQ(refused.lastLine(), "result -13 stage 4") << refused.out;
    const std::string said = "Nimbrel: needs ";
    const std::size_t at = refused.err.find(said);
    ASSERT_NE(at, std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find(" MB on " + game + "update/, ", at), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find(" MB free\n", at), std::string::npos) << refused.err;
    EXPECT_NE(refused.out.find("Not enough free space for the update"), std::string::npos) << refused.out;
    EXPECT_EQ(http.requestCount("/server/plus_real/root_1.zip"), 0);
    EXPECT_EQ(http.requestCount("/server/plus_real/data_1.zip"), 0);
    EXPECT_EQ(gameFiles(game), before);

    ASSERT_TRUE(disk.giveRoom());
    ProcessOutput fits = patch();
    EXPECT_EQ(fits.lastLine(), "result 1 stage 5") << fits.out << fits.err;
    EXPECT_EQ(readFile(game + "data/big.bin"), PatchScenario::noise(7, 2 << 20));
}

}  // namespace
}  // namespace nimbrel::test
