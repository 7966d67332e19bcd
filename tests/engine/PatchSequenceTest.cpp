// The patch sequence end to end over real files (and, online, a real HTTP server on
// 127.0.0.1): result and stage of each failure path, the one message box of stage 1, when
// ManualPatch.ini is consumed, and that the result message is posted exactly once, last.
// Also the worker that runs it.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "engine/PatchEngine.h"
#include "engine/PatchListReader.h"
#include "engine/PatchSequence.h"
#include "engine/PatchWorker.h"
#include "engine/StartupFlags.h"
#include "engine/VersionTokenTable.h"
#include "pack/PackWriter.h"
#include "platform/WindowMessages.h"
#include "tests/support/RecordingWindow.h"
#include "tests/support/TempGameFolder.h"
#include "tests/support/TestHttpServer.h"

namespace nimbrel {
namespace {

constexpr const char* kDownloadFailed = "version.ini file download failed.";

class PatchSequenceTest : public ::testing::Test {
protected:
    PatchSequenceTest() : engine(&window) { engine.initialize(game.path()); }

    void installVersion(int version) {
        game.write("version.ini",
                   std::string("[DEFAULT]\r\nCUR_VERSION") + VersionTokenTable::tokenForVersion(version));
    }

    // Runs with the flags the start-up rules give for this folder and command line.
    void run(const std::string& commandLine) {
        flags = StartupFlags::forGameFolder(game.path(), commandLine);
        PatchSequence sequence(engine, flags);
        sequence.run();
        result = sequence.result();
        stage = sequence.stage();
    }

    // The result message is the last thing posted, exactly once, and carries result and stage.
    void expectResultPostedOnceAndLast() {
        auto messages = window.messages();
        ASSERT_FALSE(messages.empty());
        int count = 0;
        for (const auto& m : messages) count += m.id == WM_PATCH_RESULT;
        EXPECT_EQ(count, 1);
        EXPECT_EQ(messages.back().id, WM_PATCH_RESULT);
        EXPECT_EQ(messages.back().wParam, result);
        EXPECT_EQ(messages.back().lParam, stage);
    }

    std::vector<std::string> boxTexts() const {
        std::vector<std::string> texts;
        for (const auto& b : window.boxes()) texts.push_back(b.text);
        return texts;
    }

    test::TempGameFolder game;
    test::RecordingWindow window;
    PatchEngine engine;
    StartupFlags flags;
    int result = 99;
    int stage = 99;
};

using Texts = std::vector<std::string>;

TEST_F(PatchSequenceTest, UnreadableClientVersionEndsAtStageZeroWithoutTouchingTheUpdateFolder) {
    game.write("update/stale.zip", "x");
    run("");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(stage, 0);
    // No game client either: the folder is no installation, so it is not packed.
    EXPECT_EQ(boxTexts(),
              (Texts{"버전을 찾을수없습니다, 게임을 다시 설치해 주시기바랍니다", PatchSequence::kNotGameFolderText}));
    EXPECT_TRUE(game.exists("update/stale.zip"));
    expectResultPostedOnceAndLast();
}

TEST_F(PatchSequenceTest, OnlineListDownloadFailureEmptiesUpdateFolderAndShowsTheBox) {
    test::TestHttpServer server;  // knows no files: every request answers 404
    engine.setPatchBaseUrl(server.url("/quorlanpatch/plus_real/"));
    installVersion(3);
    game.write("update/stale.zip", "x");
    run("");
    EXPECT_EQ(result, -2);
    EXPECT_EQ(stage, 1);
    EXPECT_EQ(boxTexts(), Texts{"version.ini file download failed (HTTP 404)"});
    EXPECT_FALSE(game.exists("update/stale.zip"));
    EXPECT_GE(server.requestCount("/quorlanpatch/plus_real/version.ini"), 1);
    expectResultPostedOnceAndLast();
}

TEST_F(PatchSequenceTest, OfflineWithoutAnyListFailsAtStageOne) {
    installVersion(3);
    game.write("update/stale.zip", "x");
    run("/DontConnect");
    EXPECT_EQ(result, -4);
    EXPECT_EQ(stage, 1);
    EXPECT_EQ(boxTexts(), Texts{kDownloadFailed});
    EXPECT_TRUE(game.exists("update/stale.zip"));  // offline never empties it
    expectResultPostedOnceAndLast();
}

// Offline and manual runs that end before anything is applied: the result, the stage, and
// whether ManualPatch.ini is gone afterwards.
TEST_F(PatchSequenceTest, OfflineFailuresEndAtTheirStageAndConsumeTheManualFileOnlyWhereDue) {
    struct Case {
        const char* name;
        const char* manualList;  // null: no ManualPatch.ini
        const char* serverList;  // null: no update/version.ini
        int result;
        int stage;
        bool manualFileRemains;
    } cases[] = {
        {"empty server list", nullptr, "", -1, 3, false},
        {"server list already current", nullptr, "CUR_VERSION = 5\n", -6, 3, false},
        {"server list file missing", nullptr, "CUR_VERSION = 6\n[VERSION = 6]\nroot=gone.zip\n", -4, 4, false},
        {"manual list begins too far ahead", "BGN_VERSION = 7\nCUR_VERSION = 8\n", nullptr, -12, 2, false},
        {"manual list already current", "BGN_VERSION = 5\nCUR_VERSION = 5\n", nullptr, -6, 3, false},
        {"manual list file missing", "BGN_VERSION = 6\nCUR_VERSION = 6\n[VERSION = 6]\nroot=gone.zip\n", nullptr, -4, 4,
         false},
        {"manual list empty, server list unusable", "", "", -1, 3, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempGameFolder folder;
        test::RecordingWindow caseWindow;
        PatchEngine caseEngine(&caseWindow);
        caseEngine.initialize(folder.path());
        folder.write("version.ini", std::string("[DEFAULT]\r\nCUR_VERSION") + VersionTokenTable::tokenForVersion(5));
        if (c.manualList) folder.write("ManualPatch.ini", c.manualList);
        if (c.serverList) folder.write("update/version.ini", c.serverList);
        StartupFlags caseFlags = StartupFlags::forGameFolder(folder.path(), "DontConnect");
        PatchSequence sequence(caseEngine, caseFlags);
        sequence.run();
        EXPECT_EQ(sequence.result(), c.result);
        EXPECT_EQ(sequence.stage(), c.stage);
        if (c.manualList) {
            EXPECT_EQ(folder.exists("ManualPatch.ini"), c.manualFileRemains);
            EXPECT_EQ(caseFlags.manualPatch, c.manualFileRemains ? 1 : 0);
        }
        // Only an empty list is worth a box: the player is told the server sent no list.
        ASSERT_EQ(caseWindow.boxes().size(), c.result == -1 ? 1u : 0u);
        if (c.result == -1) {
            EXPECT_EQ(caseWindow.boxes()[0].text, PatchListReader::kNoPatchListText);
        }
        ASSERT_FALSE(caseWindow.messages().empty());
        EXPECT_EQ(caseWindow.messages().back().id, WM_PATCH_RESULT);
        EXPECT_EQ(caseWindow.messages().back().wParam, c.result);
        EXPECT_EQ(caseWindow.messages().back().lParam, c.stage);
    }
}

TEST_F(PatchSequenceTest, ManualPatchAppliesWritesTheVersionAndCleansUp) {
    installVersion(5);
    game.write("ManualPatch.ini", "BGN_VERSION = 6\r\nCUR_VERSION = 6\r\n[VERSION = 6]\r\nroot=p6.zip\r\n");
    game.makeFolder("update");
    {
        PackWriter writer(game.file("update/p6.zip"));
        ASSERT_TRUE(writer.isOpen());
        const std::string text = "new readme";
        ASSERT_EQ(writer.addBuffer("readme.txt", reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                                   PackEntryDate{0, 0, 12, 1, 5, 2021}),
                  0);
        ASSERT_EQ(writer.close(), 0);
    }
    run("");
    EXPECT_GE(result, 0) << "stage " << stage;
    EXPECT_EQ(stage, 5);
    EXPECT_EQ(game.read("readme.txt"), "new readme");
    EXPECT_EQ(game.read("version.ini"),
              std::string("[DEFAULT]\r\nCUR_VERSION") + VersionTokenTable::tokenForVersion(6));
    EXPECT_FALSE(game.exists("ManualPatch.ini"));
    EXPECT_FALSE(game.exists("update/p6.zip"));
    EXPECT_TRUE(window.boxes().empty());
    expectResultPostedOnceAndLast();
}

TEST_F(PatchSequenceTest, StopRequestedBeforeTheRunStartsIsHonoured) {
    installVersion(3);
    flags = StartupFlags::forGameFolder(game.path(), "DontConnect");
    PatchSequence sequence(engine, flags);
    engine.stopFlag() = 1;  // the window closed before the worker picked the run up
    sequence.run();
    EXPECT_EQ(sequence.result(), -7);
    EXPECT_EQ(sequence.stage(), 0);
}

TEST_F(PatchSequenceTest, DeleteManualPatchFileRemovesEvenAReadOnlyFileOnce) {
    const std::string path = game.write("ManualPatch.ini", "x");
    ::chmod(path.c_str(), 0444);
    flags = StartupFlags::forGameFolder(game.path(), "");
    ASSERT_EQ(flags.manualPatch, 1);
    PatchSequence sequence(engine, flags);
    sequence.deleteManualPatchFile();
    EXPECT_FALSE(game.exists("ManualPatch.ini"));
    EXPECT_EQ(flags.manualPatch, 0);

    game.write("ManualPatch.ini", "y");  // appeared later: no longer ours to delete
    sequence.deleteManualPatchFile();
    EXPECT_TRUE(game.exists("ManualPatch.ini"));
}

TEST_F(PatchSequenceTest, WorkerRunsThePostedSequenceAndJoinsCleanly) {
    flags = StartupFlags::forGameFolder(game.path(), "DontConnect");
    PatchSequence sequence(engine, flags);
    {
        PatchWorker worker;
        worker.post([] { throw std::runtime_error("a failing job ends only itself"); });
        worker.post([&] { sequence.run(); });
        for (int i = 0; i < 500 && window.messages().empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(window.messages().size(), 1u);
    EXPECT_EQ(window.messages()[0].id, WM_PATCH_RESULT);
    EXPECT_EQ(window.messages()[0].wParam, -1);
}

TEST_F(PatchSequenceTest, WorkerDropsWhatIsPostedAfterQuit) {
    flags = StartupFlags::forGameFolder(game.path(), "DontConnect");
    PatchSequence sequence(engine, flags);
    PatchWorker worker;
    worker.quit();
    worker.post([&] { sequence.run(); });
    worker.join();
    worker.join();  // a second join is harmless
    EXPECT_TRUE(window.messages().empty());
}

}  // namespace
}  // namespace nimbrel
