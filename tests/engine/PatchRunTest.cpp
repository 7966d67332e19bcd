// One patch run as both front ends set it up: where the patch address comes from, what the
// teardown leaves behind, that the name is given up, and that every end of a run has a text.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "engine/PatchResult.h"
#include "engine/PatchRun.h"
#include "engine/TextTable.h"
#include "engine/VersionTokenTable.h"
#include "pack/PackEntryDate.h"
#include "pack/PackWriter.h"
#include "platform/WindowMessages.h"
#include "tests/support/RecordingWindow.h"
#include "tests/support/TempGameFolder.h"
#include "tests/support/TestHttpServer.h"

namespace nimbrel {
namespace {

constexpr const char* kPatchFolder = "/quorlanpatch/plus_real/";

class PatchRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(texts.load(), TextTable::kLoaded);
        // Our own lock: a launcher on this machine is neither disturbed nor in the way.
        ::chmod(side.makeFolder("runtime").c_str(), 0700);
        ::setenv("XDG_RUNTIME_DIR", side.file("runtime").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", side.file("cache").c_str(), 1);
        ::unsetenv("NIMBREL_PATCH_URL");
        game.write("version.ini", std::string("[DEFAULT]\r\nCUR_VERSION") + VersionTokenTable::tokenForVersion(0));
        PackWriter writer(side.file("root_1.zip"));
        writer.addBuffer("notice.txt", reinterpret_cast<const unsigned char*>("v1"), 2, PackEntryDate{});
        ASSERT_EQ(writer.close(), 0);
        server.setFile(std::string(kPatchFolder) + "version.ini",
                       "CUR_VERSION = 1\r\n[VERSION = 1]\r\nroot=root_1.zip\r\n");
        server.setFile(std::string(kPatchFolder) + "root_1.zip", side.read("root_1.zip"));
    }

    // Runs to the end; the result message's result and stage.
    std::pair<long, long> runToTheEnd(PatchRun& run, const std::string& patchUrl) {
        run.openEngine(game.path());
        run.start(patchUrl);
        for (int i = 0; i < 3000; ++i) {
            for (const auto& m : window.messages())
                if (m.id == WM_PATCH_RESULT) return {m.wParam, m.lParam};
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ADD_FAILURE() << "no result";
        return {};
    }

    TextTable texts;
    test::RecordingWindow window;
    test::TestHttpServer server;
    test::TempGameFolder game;
    test::TempGameFolder side;
};

TEST_F(PatchRunTest, GivenAddressWinsOverTheEnvironmentAndTheNameIsGivenUpAfterwards) {
    struct Case {
        const char* name;
        std::string given;
        std::string environment;
    } cases[] = {
        {"given", server.url(kPatchFolder), server.url("/elsewhere/")},
        {"environment", "", server.url(kPatchFolder)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        window.clear();
        game.write("version.ini", std::string("[DEFAULT]\r\nCUR_VERSION") + VersionTokenTable::tokenForVersion(0));
        ::setenv("NIMBREL_PATCH_URL", c.environment.c_str(), 1);
        {
            PatchRun run(window, texts, StartupFlags::forGameFolder(game.path(), ""));
            ASSERT_EQ(run.acquireLock(), SingleInstanceLock::Result::Acquired);
            PatchRun second(window, texts, StartupFlags::forGameFolder(game.path(), ""));
            EXPECT_EQ(second.acquireLock(), SingleInstanceLock::Result::AlreadyExists);
            EXPECT_EQ(runToTheEnd(run, c.given), std::make_pair(1L, 5L));
            run.finish();
            EXPECT_EQ(second.acquireLock(), SingleInstanceLock::Result::Acquired);
        }
        EXPECT_EQ(game.read("notice.txt"), "v1");
        EXPECT_EQ(server.requestCount("/elsewhere/version.ini"), 0);
    }
}

// Offline the player brought the patch files; only an online run's downloads go.
TEST_F(PatchRunTest, TeardownEmptiesTheUpdateFolderOnlyAfterAnOnlineRun) {
    struct Case {
        const char* name;
        const char* words;
        bool manualPatch;
        bool kept;
    } cases[] = {
        {"online", "", false, false}, {"offline", "DontConnect", false, true}, {"manual patch", "", true, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        window.clear();
        std::filesystem::remove(game.file("version.ini"));  // the run fails at once: -1, stage 0
        if (c.manualPatch) game.write("ManualPatch.ini", "BGN_VERSION = 1\r\nCUR_VERSION = 1\r\n");
        game.write("update/root_1.zip", "brought along");
        {
            PatchRun run(window, texts, StartupFlags::forGameFolder(game.path(), c.words));
            ASSERT_EQ(run.acquireLock(), SingleInstanceLock::Result::Acquired);
            EXPECT_EQ(runToTheEnd(run, server.url(kPatchFolder)), std::make_pair(-1L, 0L));
        }
        EXPECT_EQ(game.exists("update/root_1.zip"), c.kept);
        std::filesystem::remove(game.file("ManualPatch.ini"));
    }
}

// A failure that left the last stage text standing looked like a launcher that hangs.
TEST_F(PatchRunTest, EveryEndOfARunHasItsOwnTextNeverAStageText) {
    const std::string stageTexts[] = {texts.line(TextLine::kUpdating), texts.line(TextLine::kWaiting),
                                      texts.line(TextLine::kDeleting), texts.line(TextLine::kCollecting), ""};
    for (const PatchCodeInfo& result : patchResultCodes()) {
        for (const PatchCodeInfo& stage : patchStageCodes()) {
            const std::string text = patchResultText(texts, result.code, stage.code);
            for (const std::string& stageText : stageTexts)
                EXPECT_NE(text, stageText) << result.name << " at " << stage.name;
        }
    }
    // Both front ends once had their own words for a manual patch that begins too far ahead.
    EXPECT_NE(patchResultText(texts, PatchResult::kManualPatchAhead, PatchStage::kManualPatchStart)
                  .find("manual patch starts beyond the next version"),
              std::string::npos);
}

}  // namespace
}  // namespace nimbrel
