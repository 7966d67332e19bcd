// The headless patcher and the stand-in game client as real processes in throwaway game
// folders: the messages and result lines of the early failures, the single-instance rule
// against a running client, the version sub-command, and where the patch server address
// comes from.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/VersionTokenTable.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempGameFolder.h"
#include "tests/support/TestHttpServer.h"

namespace nimbrel {
namespace {

class NimbrelCliE2ETest : public ::testing::Test {
protected:
    // The programs started get our own runtime folder for the lock file, so that a launcher
    // running on this machine is neither disturbed nor in the way.
    test::ChildProcess::Options options(const std::vector<std::string>& extraEnv,
                                        const std::string& outputFolder) const {
        test::ChildProcess::Options o;
        o.setEnvironment = {"XDG_RUNTIME_DIR=" + runtime.path()};
        o.setEnvironment.insert(o.setEnvironment.end(), extraEnv.begin(), extraEnv.end());
        o.unsetEnvironment = {"NIMBREL_PATCH_URL"};
        o.outputFolder = outputFolder;
        return o;
    }

    test::ProcessOutput run(const std::vector<std::string>& arguments, const std::vector<std::string>& extraEnv = {},
                            const std::string& program = NIMBREL_CLI_PATH) {
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return test::ChildProcess::run(argv, options(extraEnv, runtime.path()));
    }

    void installVersion(int version) {
        game.write("version.ini",
                   std::string("[DEFAULT]\r\nCUR_VERSION") + VersionTokenTable::tokenForVersion(version));
    }

    test::TempGameFolder runtime;
    test::TempGameFolder game;
};

TEST_F(NimbrelCliE2ETest, MissingClientVersionShowsTheKoreanMessageAndEndsAtStageZero) {
    test::ProcessOutput r = run({"--game-dir", game.path()});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.err.find("버전을 찾을수없습니다, 게임을 다시 설치해 주시기바랍니다"), std::string::npos) << r.err;
    EXPECT_EQ(r.lastLine(), "result -1 stage 0");
}

TEST_F(NimbrelCliE2ETest, OfflineWithoutPatchListEndsAtStageOne) {
    installVersion(12);
    test::ProcessOutput r = run({"--game-dir", game.path(), "DontConnect"});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.err.find("version.ini file download failed."), std::string::npos) << r.err;
    EXPECT_EQ(r.lastLine(), "result -4 stage 1");
    EXPECT_TRUE(game.exists("update"));
}

TEST_F(NimbrelCliE2ETest, CopyOfTheProgramPatchesTheFolderItLiesIn) {
    installVersion(12);
    std::filesystem::copy_file(NIMBREL_CLI_PATH, game.file("nimbrel-cli"));
    std::filesystem::permissions(game.file("nimbrel-cli"), std::filesystem::perms::owner_all);
    test::ProcessOutput r = run({"-DontConnect"}, {}, game.file("nimbrel-cli"));
    EXPECT_EQ(r.lastLine(), "result -4 stage 1") << r.err;
}

// A script must never take a run that patched nothing for a patched game.
TEST_F(NimbrelCliE2ETest, SecondInstanceWhileTheGameClientRunsFailsAndSaysWhyLast) {
#ifdef QUORLAN_STANDIN_PATH
    const std::string log = runtime.path() + "standin.log";
    test::ChildProcess client(
        {QUORLAN_STANDIN_PATH, "launch", "token"},
        options({"QUORLAN_STANDIN_SECONDS=30", "QUORLAN_STANDIN_LOG=" + log}, runtime.makeFolder("client")));
    ASSERT_TRUE(client.started());
    // The line is written after the name is taken: once it is complete, the client holds it.
    for (int i = 0; i < 500 && !runtime.read("standin.log").ends_with('\n'); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(runtime.read("standin.log"), "launch token\n");

    installVersion(12);
    test::ProcessOutput r = run({"--game-dir", game.path(), "DontConnect"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("please don't double execute the following programs (Quorlan.exe or nimbrel.exe)"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.lastLine(), "not patched: another launcher or the game client is running");
    EXPECT_FALSE(game.exists("update"));  // it ended before the engine existed

    // The client is unaffected, and a second client is refused in turn.
    EXPECT_TRUE(client.running());
    test::ProcessOutput second = run({}, {"QUORLAN_STANDIN_LOG=" + log}, QUORLAN_STANDIN_PATH);
    EXPECT_NE(second.exitCode, 0);
    EXPECT_NE(second.err.find("quorlan_client"), std::string::npos);

    client.signal(SIGTERM);
    EXPECT_EQ(client.wait().exitCode, 0);  // SIGTERM is a clean end
    test::ProcessOutput after = run({"--game-dir", game.path(), "DontConnect"});
    EXPECT_EQ(after.lastLine(), "result -4 stage 1");
#else
    GTEST_SKIP() << "quorlan-standin not built";
#endif
}

// A client under Wine never takes our lock; its process, named by its command line, keeps
// the patcher out of the folder it runs from, and only that folder.
TEST_F(NimbrelCliE2ETest, ARunningClientOfTheFolderKeepsThePatcherOutWhateverPathFormItShows) {
    installVersion(12);
    test::TempGameFolder other;
    std::string windowsPath = "Z:" + game.path() + "QuorlanPlus.exe";
    for (char& c : windowsPath)
        if (c == '/') c = '\\';
    const struct {
        std::string clientName;
        bool keptOut;
    } cases[] = {
        {game.path() + "QuorlanPlus.exe", true},
        {windowsPath, true},
        {other.path() + "QuorlanPlus.exe", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.clientName);
        test::ChildProcess::Options o = options({}, runtime.path());
        o.watchOutput = true;
        o.ownProcessGroup = true;  // the shell and the sleep it waits for
        test::ChildProcess client({"/bin/sh", "-c", "echo ready; sleep 600 & wait", c.clientName}, o);
        ASSERT_TRUE(client.waitForLine("ready"));  // written after exec: the command line is in place

        test::ProcessOutput r = run({"--game-dir", game.path(), "DontConnect"});
        EXPECT_EQ(r.exitCode, c.keptOut ? 3 : 1) << r.out << r.err;
        client.signal(SIGTERM);
        client.wait();
    }
    test::ProcessOutput after = run({"--game-dir", game.path(), "DontConnect"});
    EXPECT_EQ(after.lastLine(), "result -4 stage 1");
}

TEST_F(NimbrelCliE2ETest, AWindowsClientRunningUnderWineKeepsThePatcherOut) {
    // Their full paths, which ChildProcess needs.
    const test::ProcessOutput found = test::ChildProcess::run(
        {"/bin/sh", "-c", "command -v wine && command -v wineserver && command -v x86_64-w64-mingw32-gcc"},
        options({}, runtime.path()));
    if (found.exitCode != 0)
        GTEST_SKIP() << "needs wine and x86_64-w64-mingw32-gcc (Debian's wine and gcc-mingw-w64-x86-64)";
    std::istringstream lines(found.out);
    std::string wine, wineserver, compiler;
    std::getline(std::getline(std::getline(lines, wine), wineserver), compiler);
    const std::string source = runtime.write("client.c",
                                             "#include <stdio.h>\n#include <windows.h>\n"
                                             "int main(void) { puts(\"ready\"); fflush(stdout); Sleep(INFINITE); }\n");
    ASSERT_EQ(
        test::ChildProcess::run({compiler, "-o", game.file("QuorlanPlus.exe"), source}, options({}, runtime.path()))
            .exitCode,
        0);
    installVersion(12);
    // A fresh prefix, without the offers to install Mono and Gecko that would wait for a player.
    const std::vector<std::string> wineEnvironment{"WINEPREFIX=" + runtime.path() + "prefix", "WINEDEBUG=-all",
                                                   "WINEDLLOVERRIDES=mscoree,mshtml="};
    test::ChildProcess::Options o = options(wineEnvironment, runtime.path());
    o.watchOutput = true;
    o.ownProcessGroup = true;
    test::ChildProcess client({wine, game.file("QuorlanPlus.exe")}, o);
    ASSERT_TRUE(client.waitForLine("ready"));

    test::ProcessOutput r = run({"--game-dir", game.path(), "DontConnect"});
    EXPECT_EQ(r.exitCode, 3) << r.out << r.err;
    EXPECT_EQ(r.lastLine(), "not patched: another launcher or the game client is running");
    client.signal(SIGKILL);
    client.wait();
    test::ChildProcess::run({wineserver, "-k"}, options(wineEnvironment, runtime.path()));
}

TEST_F(NimbrelCliE2ETest, VersionCommandWritesAndReadsTheClientVersion) {
    test::ProcessOutput missing = run({"--game-dir", game.path(), "version"});
    EXPECT_NE(missing.exitCode, 0);
    EXPECT_EQ(missing.out, "");

    test::ProcessOutput write = run({"--game-dir", game.path(), "version", "--write", "1999"});
    EXPECT_EQ(write.exitCode, 0) << write.err;
    EXPECT_EQ(game.read("version.ini").size(), 35u);
    test::ProcessOutput read = run({"--game-dir", game.path(), "version"});
    EXPECT_EQ(read.exitCode, 0);
    EXPECT_EQ(read.out, "1999\n");

    for (const char* bad : {"2000", "-1", "12x", ""}) {
        test::ProcessOutput refused = run({"--game-dir", game.path(), "version", "--write", bad});
        EXPECT_EQ(refused.exitCode, 2) << bad;
    }
    EXPECT_EQ(run({"--game-dir", game.path(), "version"}).out, "1999\n");  // untouched
}

TEST_F(NimbrelCliE2ETest, MistypedOptionIsRefusedBeforeAnythingIsTouched) {
    installVersion(12);
    test::ProcessOutput r = run({"--gamedir", game.path()});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("--gamedir"), std::string::npos);
    EXPECT_FALSE(game.exists("update"));
    EXPECT_EQ(run({"--game-dir", game.path() + "missing/"}).exitCode, 2);
    test::ProcessOutput rate = run({"--game-dir", game.path(), "--max-rate", "fast"});
    EXPECT_EQ(rate.exitCode, 2);
    EXPECT_NE(rate.err.find("--max-rate needs bytes a second, such as 2M, 500K or 100000: fast"), std::string::npos)
        << rate.err;
    EXPECT_FALSE(game.exists("update"));
}

TEST_F(NimbrelCliE2ETest, PatchServerAddressComesFromOptionThenEnvironment) {
    test::TestHttpServer server;
    server.setFile("/opt/version.ini", "CUR_VERSION = 12\r\n");
    server.setFile("/env/version.ini", "CUR_VERSION = 13\r\n");
    installVersion(12);

    test::ProcessOutput fromEnvironment =
        run({"--game-dir", game.path()}, {"NIMBREL_PATCH_URL=" + server.url("/env/")});
    EXPECT_EQ(fromEnvironment.lastLine(), "result -1 stage 3") << fromEnvironment.out << fromEnvironment.err;

    test::ProcessOutput fromOption = run({"--game-dir", game.path(), "--patch-url", server.url("/opt/")},
                                         {"NIMBREL_PATCH_URL=" + server.url("/env/")});
    EXPECT_EQ(fromOption.lastLine(), "result -6 stage 3") << fromOption.out << fromOption.err;
    // The item line says so too, rather than naming the last folder the packing passes looked at.
    EXPECT_NE(fromOption.out.find("item: It is the latest version"), std::string::npos) << fromOption.out;
    EXPECT_EQ(server.requestCount("/opt/version.ini"), 1);
}

}  // namespace
}  // namespace nimbrel
