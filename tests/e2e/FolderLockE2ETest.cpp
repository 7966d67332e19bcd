// Two programs writing one game folder: a patch run holds the game folder and its packed
// folders whoever started it (another runtime folder stands for another user, sudo or cron),
// and qpak holds the folder of the pack it writes. The second program refuses at once and
// changes nothing; the first finishes as if alone.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <sstream>

#include "platform/FolderLock.h"
#include "tests/e2e/PatchScenario.h"
#include "tests/e2e/QpakRun.h"

namespace nimbrel::test {
namespace {

ChildProcess::Options withRuntimeFolder(const std::string& folder) {
    ChildProcess::Options options;
    options.setEnvironment = {"XDG_RUNTIME_DIR=" + folder, "XDG_CACHE_HOME=" + folder};
    options.unsetEnvironment = {"NIMBREL_PATCH_URL"};
    options.errorIntoOutput = true;
    options.watchOutput = true;
    return options;
}

struct SecondProgram {
    const char* name;
    std::vector<std::string> args;  // after the program; GAME stands for the game folder
    bool qpak;
    int exitCode;
};

// The patcher is stopped (SIGSTOP) at a different line of its output each round, so the second
// program meets it at every stage of its run, and continued afterwards.
TEST(FolderLockE2ETest, SecondWriterOfAGameFolderRefusesWhileAPatchRunHoldsIt) {
    const SecondProgram seconds[] = {
        {"patcher", {"DontConnect"}, false, 3},
        {"version write", {"version", "--write", "7"}, false, 3},
        {"qpak add", {"add", "GAMEitem", "GAMEupdate", "new.dat"}, true, 1},
        {"qpak build", {"build", "GAMEsfx"}, true, 1},
    };
    for (int round = 0; round < 20; ++round) {
        const SecondProgram& second = seconds[round % std::size(seconds)];
        SCOPED_TRACE(std::string(second.name) + ", round " + std::to_string(round));
        PatchScenario s;
        s.installVersionZero();
        s.makePatches();
        s.placeInUpdateFolder();
        s.write("update/new.dat", "new");
        const std::string otherRuntime = s.outer.makeFolder("other-user");

        ChildProcess first({NIMBREL_CLI_PATH, "--game-dir", s.game, "DontConnect"}, withRuntimeFolder(s.home));
        ASSERT_TRUE(first.waitForLine("", round / 2 + 1)) << first.outputSoFar();
        first.signal(SIGSTOP);
        siginfo_t stopped{};  // every thread has stopped once the stop is reported
        ASSERT_EQ(::waitid(P_PID, first.pid(), &stopped, WSTOPPED), 0);
        const PatchScenario::Snapshot before = s.snapshot(true);

        std::vector<std::string> argv{second.qpak ? QPAK_PATH : NIMBREL_CLI_PATH};
        if (!second.qpak) argv.insert(argv.end(), {"--game-dir", s.game});
        for (const std::string& arg : second.args)
            argv.push_back(arg.starts_with("GAME") ? s.game + arg.substr(4) : arg);
        ProcessOutput refused = ChildProcess(argv, withRuntimeFolder(otherRuntime)).wait();
        EXPECT_EQ(refused.exitCode, second.exitCode) << refused.out;
        EXPECT_EQ(s.snapshot(true), before);

        first.signal(SIGCONT);
        ProcessOutput finished = first.wait();
        EXPECT_EQ(finished.lastLine(), "result 3 stage 5") << finished.out;
        s.expectPatchedTree();
    }
}

// Whether some process holds a flock on the folder, from /proc/locks.
bool folderIsHeld(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) return false;
    const std::string inode = ":" + std::to_string(st.st_ino);
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, owner, file;
        fields >> number >> kind >> mode >> access >> owner >> file;
        if (kind == "FLOCK" && file.ends_with(inode)) return true;
    }
    return false;
}

TEST(FolderLockE2ETest, PatchRunRefusesAPackedFolderThatQpakIsWriting) {
    PatchScenario s;
    s.installVersionZero();
    s.makePatches();
    s.placeInUpdateFolder();
    s.write("update/w.dat", "w");
    const PatchScenario::Snapshot before = s.snapshot(true);

    // qpak waits in the opening of its pack, a pipe nobody writes yet, holding wear/.
    const std::string wear = s.game + "wear/";
    fs::create_directories(wear);
    ASSERT_EQ(::mkfifo((wear + "wear.QPAK").c_str(), 0644), 0);
    ChildProcess qpak({QPAK_PATH, "add", wear, s.game + "update/", "w.dat"}, withRuntimeFolder(s.home));
    bool held = false;
    for (long tries = 0; !held && qpak.running() && tries < 100000000; ++tries) held = folderIsHeld(wear);
    ASSERT_TRUE(held) << "qpak never held its folder";

    ProcessOutput refused = ChildProcess({NIMBREL_CLI_PATH, "--game-dir", s.game, "DontConnect"},
                                         withRuntimeFolder(s.outer.makeFolder("rt")))
                                .wait();
    EXPECT_EQ(refused.exitCode, 3) << refused.out;
    EXPECT_EQ(refused.lastLine(), "not patched: another launcher or the game client is running");

    // The pipe gives qpak a pack that is no file, which it refuses.
    const int pipe = ::open((wear + "wear.QPAK").c_str(), O_WRONLY | O_CLOEXEC);
    EXPECT_EQ(qpak.wait().exitCode, 1);
    ::close(pipe);
    fs::remove_all(wear);
    EXPECT_EQ(s.snapshot(true), before);
}

// The download cache is shared by every run of one user; a run of another game folder holds it.
TEST(FolderLockE2ETest, DownloadCacheThatAnotherRunHoldsIsLeftAlone) {
    PatchScenario s;
    s.installVersionZero();
    s.makePatches();
    s.publish();
    const std::string cache = s.home + "nimbrel/";
    fs::create_directories(cache);
    FolderLock otherRun;
    ASSERT_EQ(otherRun.acquire(cache), FolderLock::Result::Acquired);

    CliRun run = s.run({});
    EXPECT_EQ(run.lastLine(), "result 3 stage 5") << run.output;
    s.expectPatchedTree();
    EXPECT_TRUE(fs::is_empty(cache));
}

}  // namespace
}  // namespace nimbrel::test
