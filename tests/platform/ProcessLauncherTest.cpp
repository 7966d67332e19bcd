// Starting programs and pages the way the launcher's buttons do: the shell's result codes
// that choose the launcher's messages, exactly one parameter string, resolution in the game
// folder, Windows executables through wine, and no inherited descriptors.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/ProcessLauncher.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempGameFolder.h"
#include "tests/support/WaitUntil.h"

using nimbrel::ProcessLauncher;
using nimbrel::test::TempGameFolder;

namespace {

constexpr const char* kLaunchToken = "=+_)(*&^90plokmn78ijuhbg;=+_)(*&^";

std::string writeScript(const TempGameFolder& folder, const std::string& name, const std::string& body) {
    std::string path = folder.write(name, "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), 0755);
    return path;
}

// The started program is detached: wait for what it writes instead of for the program.
std::string waitForFile(const TempGameFolder& folder, const std::string& name) {
    for (int i = 0; i < 100; ++i) {
        std::string text = folder.read(name);
        if (!text.empty() && text.back() == '\n') return text;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return folder.read(name);
}

class ScopedPath {
public:
    explicit ScopedPath(const std::string& value) : old_(std::getenv("PATH") ? std::getenv("PATH") : "") {
        ::setenv("PATH", value.c_str(), 1);
    }
    ~ScopedPath() { ::setenv("PATH", old_.c_str(), 1); }

private:
    std::string old_;
};

// Records its argument count, each argument on a line, and its working folder.
const char* kRecorder =
    "{ echo \"$#\"; for a in \"$@\"; do echo \"[$a]\"; done; pwd; } > \"$(dirname \"$0\")/args.txt.tmp\"\n"
    "mv \"$(dirname \"$0\")/args.txt.tmp\" \"$(dirname \"$0\")/args.txt\"\n";

}  // namespace

TEST(ProcessLauncher, LaunchTokenArrivesAsExactlyOneArgument) {
    TempGameFolder game;
    writeScript(game, "QuorlanPlus.exe", kRecorder);
    int code = ProcessLauncher::execute("QuorlanPlus.exe", kLaunchToken, game.path(), ProcessLauncher::Show::Normal);
    ASSERT_TRUE(ProcessLauncher::succeeded(code)) << code;
    std::string folder = game.path().substr(0, game.path().size() - 1);
    EXPECT_EQ(waitForFile(game, "args.txt"), "1\n[" + std::string(kLaunchToken) + "]\n" + folder + "\n");
}

TEST(ProcessLauncher, EmptyParametersPassNoArgumentAtAll) {
    TempGameFolder game;
    writeScript(game, "zedU3ZEzadiz.exe", kRecorder);
    int code = ProcessLauncher::execute("zedU3ZEzadiz.exe", "", game.path(), ProcessLauncher::Show::Normal);
    ASSERT_TRUE(ProcessLauncher::succeeded(code)) << code;
    EXPECT_EQ(waitForFile(game, "args.txt").substr(0, 2), "0\n");
}

TEST(ProcessLauncher, HiddenStartStillRunsTheProgram) {
    TempGameFolder game;
    writeScript(game, "selfupdate.exe", kRecorder);
    int code = ProcessLauncher::execute("selfupdate.exe", kLaunchToken, game.path(), ProcessLauncher::Show::Hidden);
    ASSERT_TRUE(ProcessLauncher::succeeded(code)) << code;
    EXPECT_NE(waitForFile(game, "args.txt").find(kLaunchToken), std::string::npos);
}

// The launcher shows text line 1 for "not found" and line 2 for everything else, so which
// code a failure gives decides what the player reads.
TEST(ProcessLauncher, FailuresGiveTheShellCodeThatPicksTheMessage) {
    TempGameFolder game;
    std::string notExecutable = game.write("plain.exe", "#!/bin/sh\nexit 0\n");
    ::chmod(notExecutable.c_str(), 0644);
    std::string noInterpreter = game.write("garbage.exe", "this is neither a script nor a program\n");
    ::chmod(noInterpreter.c_str(), 0755);
    game.makeFolder("folder.exe");

    struct Case {
        const char* name;
        int expected;
    } cases[] = {
        {"QuorlanPlus.exe", ProcessLauncher::kFileNotFound},
        {"missing/QuorlanPlus.exe", ProcessLauncher::kFileNotFound},
        {"plain.exe/x", ProcessLauncher::kPathNotFound},
        {"plain.exe", ProcessLauncher::kAccessDenied},
        {"folder.exe", ProcessLauncher::kAccessDenied},
        {"garbage.exe", ProcessLauncher::kBadFormat},
    };
    for (const auto& c : cases) {
        int code = ProcessLauncher::execute(c.name, kLaunchToken, game.path(), ProcessLauncher::Show::Normal);
        EXPECT_EQ(code, c.expected) << c.name;
        EXPECT_FALSE(ProcessLauncher::succeeded(code)) << c.name;
    }
}

TEST(ProcessLauncher, WindowsExecutableRunsThroughWineWithTheSameParameter) {
    TempGameFolder game;
    std::string exe = game.write("QuorlanPlus.exe", std::string("MZ\x90\0\x03\0\0\0", 8));
    ::chmod(exe.c_str(), 0755);
    TempGameFolder tools;
    writeScript(tools, "wine",
                "{ echo \"$#\"; for a in \"$@\"; do echo \"[$a]\"; done; } > \"" + tools.path() +
                    "wine.tmp\"\n"
                    "mv \"" +
                    tools.path() + "wine.tmp\" \"" + tools.path() + "wine.txt\"\n");
    ScopedPath path(tools.path() + ":/usr/bin:/bin");
    int code = ProcessLauncher::execute("QuorlanPlus.exe", kLaunchToken, game.path(), ProcessLauncher::Show::Normal);
    ASSERT_TRUE(ProcessLauncher::succeeded(code)) << code;
    EXPECT_EQ(waitForFile(tools, "wine.txt"), "2\n[" + exe + "]\n[" + kLaunchToken + "]\n");
}

// The Wine command and prefix come from the player's settings; a missing Wine is its own
// failure, which the window can explain, not a broken program.
TEST(ProcessLauncher, WindowsExecutableRunsThroughTheConfiguredWineAndPrefix) {
    TempGameFolder game;
    std::string exe = game.write("QuorlanPlus.exe", "MZ");
    ::chmod(exe.c_str(), 0755);
    TempGameFolder tools;
    const std::string recorder =
        writeScript(tools, "my-wine",
                    "{ echo \"[$1][$2]\"; echo \"prefix=${WINEPREFIX-unset}\"; } > \"" + tools.path() +
                        "wine.tmp\"\nmv \"" + tools.path() + "wine.tmp\" \"" + tools.path() + "wine.txt\"\n");
    ScopedPath path(tools.path() + ":/usr/bin:/bin");
    ::unsetenv("WINEPREFIX");
    struct Case {
        std::string command;
        std::string prefix;
        int expected;
        std::string recorded;
    } cases[] = {
        {"my-wine", "/home/p/.wine-quorlan", ProcessLauncher::kStarted, "prefix=/home/p/.wine-quorlan\n"},
        {recorder, "", ProcessLauncher::kStarted, "prefix=unset\n"},
        {"", "", ProcessLauncher::kWineNotFound, ""},  // "wine", not on this PATH
        {tools.path() + "missing-wine", "", ProcessLauncher::kWineNotFound, ""},
    };
    for (const auto& c : cases) {
        ::unlink((tools.path() + "wine.txt").c_str());
        ProcessLauncher::useWine(c.command, c.prefix);
        int code =
            ProcessLauncher::execute("QuorlanPlus.exe", kLaunchToken, game.path(), ProcessLauncher::Show::Normal);
        if (c.expected == ProcessLauncher::kWineNotFound) {
            EXPECT_EQ(code, ProcessLauncher::kWineNotFound) << c.command;
            continue;
        }
        ASSERT_TRUE(ProcessLauncher::succeeded(code)) << c.command << " gave " << code;
        EXPECT_EQ(waitForFile(tools, "wine.txt"), "[" + exe + "][" + kLaunchToken + "]\n" + c.recorded) << c.command;
    }
    ProcessLauncher::useWine("", "");
}

// Wine's quoting of the command line is what the game client sees of the launch token.
TEST(ProcessLauncher, RealWineHandsAWindowsProgramTheTokenIntact) {
    const auto wine = ProcessLauncher::findOnPath("wine");
    const auto mingw = ProcessLauncher::findOnPath("x86_64-w64-mingw32-gcc");
    if (!wine || !mingw) GTEST_SKIP() << "needs Debian's wine and gcc-mingw-w64-x86-64 on the PATH";
    TempGameFolder game;
    const std::string source = game.write("args.c",
                                          "#include <stdio.h>\n"
                                          "int main(int c, char** v) {\n"
                                          "    FILE* f = fopen(\"args.tmp\", \"w\");\n"
                                          "    fprintf(f, \"%d[%s]\\n\", c - 1, c > 1 ? v[1] : \"\");\n"
                                          "    fclose(f);\n"
                                          "    return rename(\"args.tmp\", \"args.txt\");\n"
                                          "}\n");
    nimbrel::test::ChildProcess::Options options;
    options.outputFolder = game.path();
    const nimbrel::test::ProcessOutput built =
        nimbrel::test::ChildProcess::run({*mingw, source, "-o", game.file("QuorlanPlus.exe")}, options);
    ASSERT_EQ(built.exitCode, 0) << built.err;
    ProcessLauncher::useWine("", game.makeFolder("prefix"));
    const int code =
        ProcessLauncher::execute("QuorlanPlus.exe", kLaunchToken, game.path(), ProcessLauncher::Show::Hidden);
    ProcessLauncher::useWine("", "");
    ASSERT_TRUE(ProcessLauncher::succeeded(code)) << code;
    // A new prefix takes Wine many seconds to set up; the program writes its line after that.
    std::string text;
    (void)nimbrel::test::waitUntil([&] { return (text = game.read("args.txt")).ends_with('\n'); });
    EXPECT_EQ(text, "1[" + std::string(kLaunchToken) + "]\n");
}

// The single-instance lock is a descriptor of the launcher; a game client that inherited it
// would keep the name taken after the launcher is gone, whatever its close-on-exec flag says.
TEST(ProcessLauncher, StartedProgramInheritsNoDescriptorOfOurs) {
    TempGameFolder game;
    int leaked = ::open(game.write("lock", "").c_str(), O_RDONLY);  // deliberately without O_CLOEXEC
    ASSERT_GE(leaked, 3);
    writeScript(game, "check.exe",
                "if [ -e /proc/$$/fd/$1 ]; then echo inherited; else echo clean; fi > \"$(dirname \"$0\")/fd.tmp\"\n"
                "mv \"$(dirname \"$0\")/fd.tmp\" \"$(dirname \"$0\")/fd.txt\"\n");
    int code =
        ProcessLauncher::execute("check.exe", std::to_string(leaked), game.path(), ProcessLauncher::Show::Normal);
    ::close(leaked);
    ASSERT_TRUE(ProcessLauncher::succeeded(code)) << code;
    EXPECT_EQ(waitForFile(game, "fd.txt"), "clean\n");
}

TEST(ProcessLauncher, PagesOpenThroughXdgOpenAndFailWithoutIt) {
    TempGameFolder tools;
    writeScript(tools, "xdg-open",
                "echo \"$#[$1]\" > \"" + tools.path() + "url.tmp\"; mv \"" + tools.path() + "url.tmp\" \"" +
                    tools.path() + "url.txt\"\n");
    {
        ScopedPath path(tools.path() + ":/usr/bin:/bin");
        ASSERT_TRUE(
            ProcessLauncher::succeeded(ProcessLauncher::openUrl("https://example.net/Member/Register/Register.html")));
        EXPECT_EQ(waitForFile(tools, "url.txt"), "1[https://example.net/Member/Register/Register.html]\n");
    }
    TempGameFolder emptyTools;
    ScopedPath path(emptyTools.path());
    int code = ProcessLauncher::openUrl("http://127.0.0.1/");
    EXPECT_FALSE(ProcessLauncher::succeeded(code));
    EXPECT_NE(code, ProcessLauncher::kFileNotFound);
}
