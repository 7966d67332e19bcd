// The launcher window in a test-only copy of the launcher (the shipped start-up plus a driver,
// tests/launcher/driver), copied into throwaway game folders, against a real patch server on
// 127.0.0.1. The driver takes commands in and writes state and events out through a folder
// (NIMBREL_TEST_CONTROL). Needs a display (run under xvfb-run); skips without one.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef NIMBREL_HAVE_QT_GUI
#include <QImage>
#endif

#include "engine/TextTable.h"
#include "engine/VersionTokenTable.h"
#include "pack/PackEntryDate.h"
#include "pack/PackWriter.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempGameFolder.h"
#include "tests/support/TestHttpServer.h"

using nimbrel::test::ChildProcess;
using nimbrel::test::TempGameFolder;
using nimbrel::test::TestHttpServer;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

#if defined(NIMBREL_LAUNCHER_DRIVER_PATH) && defined(QUORLAN_STANDIN_PATH) && defined(MAKE_SKIN_PATH)

namespace {

constexpr const char* kLaunchToken = "=+_)(*&^90plokmn78ijuhbg;=+_)(*&^";
constexpr const char* kPatchFolder = "/quorlanpatch/plus_real/";

std::string zipWith(const std::string& path, const std::map<std::string, std::string>& files) {
    nimbrel::PackWriter writer(path);
    EXPECT_TRUE(writer.isOpen()) << path;
    for (const auto& [name, content] : files)
        writer.addBuffer(name, reinterpret_cast<const unsigned char*>(content.data()), content.size(),
                         nimbrel::PackEntryDate{});
    EXPECT_EQ(writer.close(), 0);
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void copyExecutable(const std::string& from, const std::string& to) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    ::chmod(to.c_str(), 0755);
}

// One game folder with the launcher, its skin, a client version and the stand-in game, and
// a folder for the hook, the lock and the caches, so parallel tests never share a lock.
class GameFolder {
public:
    explicit GameFolder(int version = 0) {
        copyExecutable(NIMBREL_LAUNCHER_DRIVER_PATH, game.file("nimbrel"));
        copyExecutable(QUORLAN_STANDIN_PATH, game.file("QuorlanPlus.exe"));
        ChildProcess::Options options;
        options.outputFolder = side.path();
        EXPECT_EQ(ChildProcess::run({MAKE_SKIN_PATH, game.path()}, options).exitCode, 0);
        game.write("version.ini",
                   std::string("[DEFAULT]\r\nCUR_VERSION") + nimbrel::VersionTokenTable::tokenForVersion(version));
        fs::create_directories(side.file("runtime"));
        ::chmod(side.file("runtime").c_str(), 0700);
    }

    TempGameFolder game;
    TempGameFolder side;  // runtime dir (lock), cache, stand-in log, hook folders
};

class Launcher {
public:
    Launcher(const GameFolder& folder, const std::string& patchUrl, const std::string& name = "hook",
             const std::string& pathPrefix = std::string(), std::vector<std::string> arguments = {})
        : hook_(folder.side.makeFolder(name)) {
        ChildProcess::Options options;
        for (char** e = environ; *e; ++e) {
            std::string name(*e, std::strchr(*e, '=') ? std::strchr(*e, '=') - *e : std::strlen(*e));
            if (name.rfind("NIMBREL_", 0) == 0 || name.rfind("QUORLAN_STANDIN", 0) == 0)
                options.unsetEnvironment.push_back(name);
        }
        if (!pathPrefix.empty()) {
            const char* path = std::getenv("PATH");
            options.setEnvironment.push_back("PATH=" + pathPrefix + ":" + (path ? path : ""));
        }
        options.setEnvironment.insert(
            options.setEnvironment.end(),
            {"NIMBREL_TEST_CONTROL=" + hook_, "NIMBREL_PATCH_URL=" + patchUrl,
             "XDG_RUNTIME_DIR=" + folder.side.file("runtime"), "XDG_CACHE_HOME=" + folder.side.file("cache"),
             "QUORLAN_STANDIN_LOG=" + folder.side.file("standin.log"), "QUORLAN_STANDIN_SECONDS=10",
             "QTWEBENGINE_DISABLE_SANDBOX=1"});
        options.outputFolder = hook_;
        // Not the game folder: the launcher must find it itself.
        options.workingFolder = folder.side.path();
        // So that a failed test takes the browser's helper processes down with it instead of
        // leaving them on the display.
        options.ownProcessGroup = true;
        std::vector<std::string> argv{folder.game.file("nimbrel")};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        process_ = std::make_unique<ChildProcess>(argv, options);
    }

    ~Launcher() {
        if (process_->running()) process_->signal(SIGKILL);
        // A launcher that never got as far as the test waited for says why only here.
        if (::testing::Test::HasFailure()) {
            std::ifstream err(hook_ + "err.txt");
            std::ostringstream text;
            text << err.rdbuf();
            std::fprintf(stderr, "launcher's stderr:\n%s\n", text.str().c_str());
        }
    }

    std::map<std::string, std::string> state() const {
        std::map<std::string, std::string> values;
        std::ifstream in(hook_ + "state");
        for (std::string line; std::getline(in, line);) {
            auto eq = line.find('=');
            if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
        }
        return values;
    }
    std::string events() const {
        std::ifstream in(hook_ + "events");
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Polls until the condition holds; false after the timeout or when the launcher ended.
    bool waitFor(const std::function<bool()>& condition, std::chrono::seconds timeout = 60s) {
        auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            if (condition()) return true;
            std::this_thread::sleep_for(50ms);
        }
        return condition();
    }
    bool waitForState(const std::string& key, const std::string& value, std::chrono::seconds timeout = 60s) {
        return waitFor([&] { return state()[key] == value; }, timeout);
    }
    bool waitForEvent(const std::string& text, std::chrono::seconds timeout = 60s) {
        return waitFor([&] { return events().find(text) != std::string::npos; }, timeout);
    }

    void command(const std::string& line) {
        std::string temporary = hook_ + "command.tmp";
        std::ofstream(temporary) << line << '\n';
        fs::rename(temporary, hook_ + "command");
        // The hook takes the file away when it has read it; the next command must not overwrite it.
        waitFor([&] { return !fs::exists(hook_ + "command"); });
    }

    // The exit code, or -1 when the launcher is still running after the timeout.
    int waitForExit(std::chrono::seconds timeout = 60s) {
        if (!waitFor([&] { return !process_->running(); }, timeout)) return -1;
        if (!exitCode_) exitCode_ = process_->wait().exitCode;
        return *exitCode_;
    }

    const std::string& hookFolder() const { return hook_; }

private:
    std::string hook_;
    std::unique_ptr<ChildProcess> process_;
    std::optional<int> exitCode_;
};

std::string standinLog(const GameFolder& folder, std::chrono::seconds timeout = 60s) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        std::string text = folder.side.read("standin.log");
        if (!text.empty()) return text;
        std::this_thread::sleep_for(50ms);
    }
    return folder.side.read("standin.log");
}

std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
    return names;
}

class LauncherE2E : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
            GTEST_SKIP() << "the launcher window needs a display; run under xvfb-run";
    }

    // A server publishing version 1 over a client at version 0: one plain file for the base folder.
    void publishOneVersion(const std::string& flagsLine = std::string()) {
        std::string list = "CUR_VERSION = 1\r\n[VERSION = 1]\r\n" + flagsLine + "root=root_1.zip\r\n";
        server.setFile(std::string(kPatchFolder) + "version.ini", list);
        server.setFile(std::string(kPatchFolder) + "root_1.zip",
                       zipWith(scratch.file("root_1.zip"), {{"notice.txt", "patched to version 1\n"}}));
    }
    std::string patchUrl() const { return server.url(kPatchFolder); }

    TestHttpServer server;
    TempGameFolder scratch;
};

}  // namespace

TEST_F(LauncherE2E, SuccessfulRunFillsTheBarEnablesStartAndStartHandsTheTokenToTheGame) {
    GameFolder folder;
    publishOneVersion();
    Launcher launcher(folder, patchUrl());

    ASSERT_TRUE(launcher.waitForState("geometry", "0,0,600,421")) << launcher.events();
    auto state = launcher.state();
    EXPECT_EQ(state["title"], "Quorlan Launcher");
    EXPECT_EQ(state["frameless"], "1");
    EXPECT_EQ(state["label.1012"], "Version");
    EXPECT_EQ(state["label.1013"], "[Now/Total]");

    ASSERT_TRUE(launcher.waitForState("result", "1 5")) << launcher.events();
    EXPECT_TRUE(launcher.waitForState("start_enabled", "1"));
    state = launcher.state();
    EXPECT_EQ(state["progress_full"], "1");
    EXPECT_EQ(state["label.1011"], "Completed Update File");
    EXPECT_EQ(folder.game.read("notice.txt"), "patched to version 1\n");
    EXPECT_TRUE(filesIn(folder.game.file("update")).empty());

    // The picture of a finished run, kept as a build artifact.
    fs::create_directories(NIMBREL_ARTIFACT_DIR);
    std::string shot = std::string(NIMBREL_ARTIFACT_DIR) + "/launcher-after-patch.png";
    launcher.command("screenshot " + shot);
    ASSERT_TRUE(launcher.waitForEvent("done screenshot")) << launcher.events();
#ifdef NIMBREL_HAVE_QT_GUI
    QImage picture(QString::fromStdString(shot));
    EXPECT_EQ(picture.width(), 600);
    EXPECT_EQ(picture.height(), 421);
#endif

    launcher.command("click start");
    EXPECT_EQ(launcher.waitForExit(), 0);
    EXPECT_EQ(standinLog(folder), std::string(kLaunchToken) + "\n");
}

TEST_F(LauncherE2E, FailedDownloadOffersRetryAndXStillCloses) {
    GameFolder folder;
    publishOneVersion();
    server.setStatus(std::string(kPatchFolder) + "root_1.zip", 404);
    Launcher launcher(folder, patchUrl());

    ASSERT_TRUE(launcher.waitForEvent("box root_1.zip file download failed")) << launcher.events();
    launcher.command("answer-box");
    ASSERT_TRUE(launcher.waitForState("result", "-4 4")) << launcher.events();
    // The downloader's own box held the worker: the result came only after the answer.
    const std::string events = launcher.events();
    EXPECT_LT(events.find("done answer-box"), events.find("result -4 4")) << events;
    EXPECT_EQ(launcher.state()["start_enabled"], "1");
    EXPECT_EQ(launcher.state()["start_text"], "Retry");

    launcher.command("click x");
    EXPECT_EQ(launcher.waitForExit(), 0);
    EXPECT_TRUE(folder.side.read("standin.log").empty());
    EXPECT_TRUE(filesIn(folder.game.file("update")).empty());
}

TEST_F(LauncherE2E, SelfUpdateRequestStartsTheUpdaterWithTheTokenAndQuits) {
    GameFolder folder;
    copyExecutable(QUORLAN_STANDIN_PATH, folder.game.file("selfupdate.exe"));
    publishOneVersion("SELF_UPDATE=TRUE\r\n");
    Launcher launcher(folder, patchUrl());

    EXPECT_EQ(launcher.waitForExit(), 0) << launcher.events();
    EXPECT_EQ(launcher.state()["result"], "1 5");
    EXPECT_EQ(launcher.state()["label.1011"], "Completed Update File");
    // Only the updater ran (Start was never pressed), so the one line is its arguments.
    EXPECT_EQ(standinLog(folder), std::string(kLaunchToken) + "\n");
}

TEST_F(LauncherE2E, SecondLauncherShowsTheDoubleExecutionMessageAndExitsZero) {
    GameFolder folder;
    publishOneVersion();
    Launcher first(folder, patchUrl(), "first");
    ASSERT_TRUE(first.waitForState("result", "1 5")) << first.events();

    Launcher second(folder, patchUrl(), "second");
    ASSERT_TRUE(
        second.waitForEvent("box please don't double execute the following programs (Quorlan.exe or nimbrel.exe)"))
        << second.events();
    second.command("answer-box");
    EXPECT_EQ(second.waitForExit(), 0);

    EXPECT_EQ(first.state()["visible"], "1");
    first.command("click x");
    EXPECT_EQ(first.waitForExit(), 0);
}

TEST_F(LauncherE2E, RunningGameClientKeepsTheLauncherOut) {
    GameFolder folder;
    publishOneVersion();
    Launcher first(folder, patchUrl(), "first");
    ASSERT_TRUE(first.waitForState("result", "1 5")) << first.events();
    first.command("click start");
    ASSERT_EQ(first.waitForExit(), 0) << first.events();
    ASSERT_FALSE(standinLog(folder).empty());  // the game runs and holds the name now

    Launcher second(folder, patchUrl(), "second");
    EXPECT_TRUE(second.waitForEvent("box please don't double execute")) << second.events();
    second.command("answer-box");
    EXPECT_EQ(second.waitForExit(), 0);
}

TEST_F(LauncherE2E, ClosingDuringADownloadStopsTheRunAndEmptiesTheUpdateFolder) {
    GameFolder folder;
    publishOneVersion();
    TestHttpServer::Reply slow;
    slow.content = std::string(4 << 20, 'q');
    slow.delivery = TestHttpServer::Delivery::Slow;
    slow.slowChunk = 1024;
    slow.slowInterval = 100ms;
    server.setReply(std::string(kPatchFolder) + "root_1.zip", slow);
    Launcher launcher(folder, patchUrl());

    ASSERT_TRUE(launcher.waitForState("label.1002", "root_1.zip")) << launcher.events();
    ASSERT_TRUE(launcher.waitFor([&] { return !filesIn(folder.game.file("update")).empty(); }));

    launcher.command("click x");
    // A download that went on would take minutes; the stop ends it within the download's poll.
    EXPECT_EQ(launcher.waitForExit(), 0) << launcher.events();
    EXPECT_NE(launcher.events().find("closed"), std::string::npos);
    EXPECT_TRUE(filesIn(folder.game.file("update")).empty());
    EXPECT_FALSE(folder.game.exists("notice.txt"));
    EXPECT_EQ(folder.game.read("version.ini").substr(22), nimbrel::VersionTokenTable::tokenForVersion(0));
}

TEST_F(LauncherE2E, MissingGameClientShowsTheNotFoundLineAndStillCloses) {
    GameFolder folder;
    fs::remove(folder.game.file("QuorlanPlus.exe"));
    publishOneVersion();
    Launcher launcher(folder, patchUrl());
    ASSERT_TRUE(launcher.waitForState("result", "1 5")) << launcher.events();
    launcher.command("click start");
    ASSERT_TRUE(launcher.waitForEvent("box Have Not Search For SelfUpdate.exe File")) << launcher.events();
    launcher.command("answer-box");
    EXPECT_EQ(launcher.waitForExit(), 0);
}

TEST_F(LauncherE2E, MissingSkinShowsSkinNotFoundAndExitsZero) {
    GameFolder folder;
    fs::remove(folder.game.file("back.jpg"));
    publishOneVersion();
    Launcher launcher(folder, patchUrl());
    ASSERT_TRUE(launcher.waitForEvent("box Skin Not Found !")) << launcher.events();
    launcher.command("answer-box");
    EXPECT_EQ(launcher.waitForExit(), 0);
    EXPECT_EQ(server.requestCount(), 0);  // nothing was patched
}

TEST_F(LauncherE2E, ClosingWhileTheWorkerWaitsForABoxDoesNotHang) {
    GameFolder folder;
    publishOneVersion();
    server.setStatus(std::string(kPatchFolder) + "root_1.zip", 404);
    Launcher launcher(folder, patchUrl());
    ASSERT_TRUE(launcher.waitForEvent("box root_1.zip file download failed")) << launcher.events();

    // The worker is held by the box; the teardown must answer it before joining the worker.
    launcher.command("close");
    EXPECT_EQ(launcher.waitForExit(), 0) << launcher.events();
    EXPECT_TRUE(filesIn(folder.game.file("update")).empty());
}

TEST_F(LauncherE2E, MissingClientVersionShowsTheKoreanMessageAndOffersRetry) {
    GameFolder folder;
    fs::remove(folder.game.file("version.ini"));
    publishOneVersion();
    Launcher launcher(folder, patchUrl());
    ASSERT_TRUE(launcher.waitForEvent("box 버전을 찾을수없습니다, 게임을 다시 설치해 주시기바랍니다"))
        << launcher.events();
    fs::create_directories(NIMBREL_ARTIFACT_DIR);
    launcher.command("screenshot " + std::string(NIMBREL_ARTIFACT_DIR) + "/launcher-korean-message.png");
    launcher.command("answer-box");
    ASSERT_TRUE(launcher.waitForState("result", "-1 0")) << launcher.events();
    EXPECT_EQ(launcher.state()["start_text"], "Retry");
    EXPECT_EQ(server.requestCount(), 0);
    launcher.command("click x");
    EXPECT_EQ(launcher.waitForExit(), 0);
}

TEST_F(LauncherE2E, ManualPatchBeyondTheNextVersionShowsOurMessageAndCloses) {
    GameFolder folder;
    folder.game.write("ManualPatch.ini", "BGN_VERSION = 2\r\nCUR_VERSION = 3\r\n[VERSION = 2]\r\nroot=root_2.zip\r\n");
    Launcher launcher(folder, patchUrl());
    ASSERT_TRUE(launcher.waitForEvent("box This manual patch starts beyond the next version of your game"))
        << launcher.events();
    launcher.command("answer-box");
    EXPECT_EQ(launcher.waitForExit(), 0);
    EXPECT_EQ(launcher.state()["result"], "-12 2");
    EXPECT_FALSE(folder.game.exists("ManualPatch.ini"));
    EXPECT_EQ(server.requestCount(), 0);  // a manual patch never asks the server
}

TEST_F(LauncherE2E, ConfigAndPageButtonsStartTheirProgramsAndKeepTheWindowOpen) {
    GameFolder folder;
    auto script = [&](const std::string& path, const std::string& output) {
        std::ofstream(path) << "#!/bin/sh\necho \"$#[$1]\" >> \"" << folder.side.file(output) << "\"\n";
        ::chmod(path.c_str(), 0755);
    };
    script(folder.game.file("zedU3ZEzadiz.exe"), "config.log");
    std::string tools = folder.side.makeFolder("tools");
    script(tools + "xdg-open", "pages.log");
    publishOneVersion();
    Launcher launcher(folder, patchUrl(), "hook", tools);
    ASSERT_TRUE(launcher.waitForState("geometry", "0,0,600,421")) << launcher.events();

    // These work while the patch runs, and Start stays the only control ever disabled.
    launcher.command("click config");
    launcher.command("click homepage");
    ASSERT_TRUE(launcher.waitFor([&] { return !folder.side.read("pages.log").empty(); }));
    launcher.command("click join");
    ASSERT_TRUE(launcher.waitFor(
        [&] { return folder.side.read("pages.log").find('\n') != folder.side.read("pages.log").rfind('\n'); }));
    ASSERT_TRUE(launcher.waitFor([&] { return !folder.side.read("config.log").empty(); }));
    EXPECT_EQ(folder.side.read("config.log"), "0[]\n");
    nimbrel::TextTable texts;
    ASSERT_EQ(texts.load(), 0);
    EXPECT_EQ(folder.side.read("pages.log"), "1[" + texts.line(9) + "]\n1[" + texts.line(10) + "]\n");
    EXPECT_EQ(launcher.state()["visible"], "1");
    launcher.command("close");
    EXPECT_EQ(launcher.waitForExit(), 0);
}

// Words behind a slash, a hyphen or a comma, in any case, reach the launcher's own scan.
TEST_F(LauncherE2E, CommandLineWordsReachTheStartupScan) {
    GameFolder folder;
    publishOneVersion();
    Launcher launcher(folder, patchUrl(), "hook", std::string(), {"-sync", "/DontConnect,"});
    // Offline without a patch list in the update folder: the server is never asked.
    ASSERT_TRUE(launcher.waitForEvent("box version.ini file download failed.")) << launcher.events();
    launcher.command("answer-box");
    ASSERT_TRUE(launcher.waitForState("result", "-4 1")) << launcher.events();
    EXPECT_EQ(server.requestCount(), 0);
    launcher.command("close");
    EXPECT_EQ(launcher.waitForExit(), 0);
}

// The player brought the patch files for a manual patch; a run that did not use them must
// not throw them away when the window closes.
TEST_F(LauncherE2E, ClosingKeepsTheUpdateFolderOfAManualPatch) {
    GameFolder folder;
    fs::remove(folder.game.file("version.ini"));
    folder.game.write("ManualPatch.ini", "BGN_VERSION = 1\r\nCUR_VERSION = 1\r\n[VERSION = 1]\r\nroot=root_1.zip\r\n");
    folder.game.write("update/root_1.zip", "brought by the player");
    Launcher launcher(folder, patchUrl());
    ASSERT_TRUE(launcher.waitForEvent("box 버전을 찾을수없습니다")) << launcher.events();
    launcher.command("answer-box");
    ASSERT_TRUE(launcher.waitForState("result", "-1 0")) << launcher.events();
    launcher.command("close");
    EXPECT_EQ(launcher.waitForExit(), 0);
    EXPECT_EQ(folder.game.read("update/root_1.zip"), "brought by the player");
    EXPECT_TRUE(folder.game.exists("ManualPatch.ini"));
}

TEST_F(LauncherE2E, MissingSelfUpdaterShowsTheNotFoundLineAndStillQuits) {
    GameFolder folder;
    publishOneVersion("SELF_UPDATE=TRUE\r\n");
    Launcher launcher(folder, patchUrl());
    ASSERT_TRUE(launcher.waitForEvent("box Have Not Search For SelfUpdate.exe File")) << launcher.events();
    launcher.command("answer-box");
    EXPECT_EQ(launcher.waitForExit(), 0);
    EXPECT_EQ(launcher.state()["result"], "1 5");
    EXPECT_TRUE(folder.side.read("standin.log").empty());
}

#endif
