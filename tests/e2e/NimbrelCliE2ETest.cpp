// The headless patcher and the stand-in game client as real processes in throwaway game
// folders: the messages and result lines of the early failures, the single-instance rule
// against a running client, the version sub-command, and where the patch server address
// comes from.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "engine/VersionTokenTable.h"
#include "tests/support/TempGameFolder.h"
#include "tests/support/TestHttpServer.h"

extern char** environ;

namespace nimbrel {
namespace {

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;

    std::string lastLine() const {
        std::string text = out;
        while (!text.empty() && text.back() == '\n') text.pop_back();
        std::size_t lf = text.rfind('\n');
        return lf == std::string::npos ? text : text.substr(lf + 1);
    }
};

class NimbrelCliE2ETest : public ::testing::Test {
protected:
    // Environment of the programs started: our own runtime folder for the lock file, so that
    // a launcher running on this machine is neither disturbed nor in the way.
    std::vector<std::string> environment(const std::vector<std::string>& extra) const {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            std::string entry(*e);
            if (entry.starts_with("XDG_RUNTIME_DIR=") || entry.starts_with("NIMBREL_PATCH_URL=")) continue;
            env.push_back(entry);
        }
        env.push_back("XDG_RUNTIME_DIR=" + runtime.path());
        env.insert(env.end(), extra.begin(), extra.end());
        return env;
    }

    pid_t spawn(const std::string& program, const std::vector<std::string>& arguments,
                const std::vector<std::string>& extraEnv, const std::string& outPath, const std::string& errPath) {
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        std::vector<char*> cargv, cenv;
        for (auto& a : argv) cargv.push_back(a.data());
        cargv.push_back(nullptr);
        auto env = environment(extraEnv);
        for (auto& e : env) cenv.push_back(e.data());
        cenv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = -1;
        if (posix_spawn(&pid, program.c_str(), &actions, nullptr, cargv.data(), cenv.data()) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }

    Outcome run(const std::vector<std::string>& arguments, const std::vector<std::string>& extraEnv = {},
                const std::string& program = NIMBREL_CLI_PATH) {
        const std::string out = runtime.path() + "out.txt", err = runtime.path() + "err.txt";
        Outcome result;
        pid_t pid = spawn(program, arguments, extraEnv, out, err);
        if (pid <= 0) return result;
        int status = 0;
        ::waitpid(pid, &status, 0);
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.out = runtime.read("out.txt");
        result.err = runtime.read("err.txt");
        return result;
    }

    void installVersion(int version) {
        game.write("version.ini",
                   std::string("[DEFAULT]\r\nCUR_VERSION") + VersionTokenTable::tokenForVersion(version));
    }

    test::TempGameFolder runtime;
    test::TempGameFolder game;
};

TEST_F(NimbrelCliE2ETest, MissingClientVersionShowsTheKoreanMessageAndEndsAtStageZero) {
    Outcome r = run({"--game-dir", game.path()});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.err.find("버전을 찾을수없습니다, 게임을 다시 설치해 주시기바랍니다"), std::string::npos) << r.err;
    EXPECT_EQ(r.lastLine(), "result -1 stage 0");
}

TEST_F(NimbrelCliE2ETest, OfflineWithoutPatchListEndsAtStageOne) {
    installVersion(12);
    Outcome r = run({"--game-dir", game.path(), "DontConnect"});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.err.find("version.ini file download failed."), std::string::npos) << r.err;
    EXPECT_EQ(r.lastLine(), "result -4 stage 1");
    EXPECT_TRUE(game.exists("update"));
}

TEST_F(NimbrelCliE2ETest, CopyOfTheProgramPatchesTheFolderItLiesIn) {
    installVersion(12);
    std::filesystem::copy_file(NIMBREL_CLI_PATH, game.file("nimbrel-cli"));
    std::filesystem::permissions(game.file("nimbrel-cli"), std::filesystem::perms::owner_all);
    Outcome r = run({"-DontConnect"}, {}, game.file("nimbrel-cli"));
    EXPECT_EQ(r.lastLine(), "result -4 stage 1") << r.err;
}

TEST_F(NimbrelCliE2ETest, SecondInstanceWhileTheGameClientRunsLeavesWithExitZero) {
#ifdef QUORLAN_STANDIN_PATH
    const std::string log = runtime.path() + "standin.log";
    pid_t client =
        spawn(QUORLAN_STANDIN_PATH, {"launch", "token"}, {"QUORLAN_STANDIN_SECONDS=30", "QUORLAN_STANDIN_LOG=" + log},
              runtime.path() + "client.out", runtime.path() + "client.err");
    ASSERT_GT(client, 0);
    // The line is written after the name is taken: once it is complete, the client holds it.
    for (int i = 0; i < 500 && !runtime.read("standin.log").ends_with('\n'); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(runtime.read("standin.log"), "launch token\n");

    installVersion(12);
    Outcome r = run({"--game-dir", game.path(), "DontConnect"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.err.find("please don't double execute the following programs (Quorlan.exe or nimbrel.exe)"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out.find("result"), std::string::npos);
    EXPECT_FALSE(game.exists("update"));  // it ended before the engine existed

    // The client is unaffected, and a second client is refused in turn.
    EXPECT_EQ(::waitpid(client, nullptr, WNOHANG), 0);
    Outcome second = run({}, {"QUORLAN_STANDIN_LOG=" + log}, QUORLAN_STANDIN_PATH);
    EXPECT_NE(second.exitCode, 0);
    EXPECT_NE(second.err.find("quorlan_client"), std::string::npos);

    ::kill(client, SIGTERM);
    int status = 0;
    ::waitpid(client, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);  // SIGTERM is a clean end
    Outcome after = run({"--game-dir", game.path(), "DontConnect"});
    EXPECT_EQ(after.lastLine(), "result -4 stage 1");
#else
    GTEST_SKIP() << "quorlan-standin not built";
#endif
}

TEST_F(NimbrelCliE2ETest, VersionCommandWritesAndReadsTheClientVersion) {
    Outcome missing = run({"--game-dir", game.path(), "version"});
    EXPECT_NE(missing.exitCode, 0);
    EXPECT_EQ(missing.out, "");

    Outcome write = run({"--game-dir", game.path(), "version", "--write", "1999"});
    EXPECT_EQ(write.exitCode, 0) << write.err;
    EXPECT_EQ(game.read("version.ini").size(), 35u);
    Outcome read = run({"--game-dir", game.path(), "version"});
    EXPECT_EQ(read.exitCode, 0);
    EXPECT_EQ(read.out, "1999\n");

    for (const char* bad : {"2000", "-1", "12x", ""}) {
        Outcome refused = run({"--game-dir", game.path(), "version", "--write", bad});
        EXPECT_EQ(refused.exitCode, 2) << bad;
    }
    EXPECT_EQ(run({"--game-dir", game.path(), "version"}).out, "1999\n");  // untouched
}

TEST_F(NimbrelCliE2ETest, MistypedOptionIsRefusedBeforeAnythingIsTouched) {
    installVersion(12);
    Outcome r = run({"--gamedir", game.path()});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("--gamedir"), std::string::npos);
    EXPECT_FALSE(game.exists("update"));
    EXPECT_EQ(run({"--game-dir", game.path() + "missing/"}).exitCode, 2);
}

TEST_F(NimbrelCliE2ETest, PatchServerAddressComesFromOptionThenEnvironment) {
    test::TestHttpServer server;
    server.setFile("/opt/version.ini", "CUR_VERSION = 12\r\n");
    server.setFile("/env/version.ini", "CUR_VERSION = 13\r\n");
    installVersion(12);

    Outcome fromEnvironment = run({"--game-dir", game.path()}, {"NIMBREL_PATCH_URL=" + server.url("/env/")});
    EXPECT_EQ(fromEnvironment.lastLine(), "result -3 stage 4") << fromEnvironment.out << fromEnvironment.err;

    Outcome fromOption = run({"--game-dir", game.path(), "--patch-url", server.url("/opt/")},
                             {"NIMBREL_PATCH_URL=" + server.url("/env/")});
    EXPECT_EQ(fromOption.lastLine(), "result -6 stage 3") << fromOption.out << fromOption.err;
    EXPECT_NE(fromOption.out.find("It is the latest version"), std::string::npos);
    EXPECT_EQ(server.requestCount("/opt/version.ini"), 1);
}

}  // namespace
}  // namespace nimbrel
