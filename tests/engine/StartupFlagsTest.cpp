// The start-up decision: the ManualPatch.ini probe and the command-line scan, as tables of
// command lines and the flags they must give.

#include <gtest/gtest.h>

#include <string>

#include "engine/StartupFlags.h"
#include "tests/support/TempGameFolder.h"

namespace nimbrel {
namespace {

struct ScanCase {
    const char* commandLine;
    int connectToServer;
    int syncRequested;
};

TEST(StartupFlagsTest, CommandLineWordsAreWholeTokensInAnyCase) {
    const ScanCase cases[] = {
        {"", 1, 0},
        {"DontConnect", 0, 0},
        {"dontconnect", 0, 0},
        {"DONTCONNECT sync", 0, 1},
        {"/DontConnect,-SYNC", 0, 1},
        {"  ,,--//DontConnect//--,,  ", 0, 0},
        {"-sync", 1, 1},
        {"/sync", 1, 1},
        {"DontConnectX", 1, 0},  // one letter more: another word
        {"XDontConnect", 1, 0},
        {"syncs", 1, 0},
        {"Dont Connect", 1, 0},  // split in two: neither word
        {"Dont-Connect", 1, 0},
        {"DontConnect\tsync", 1, 0},  // a tab is no separator: one unknown token
        {"launch=token sync", 1, 1},
        {"sync,sync,sync", 1, 1},
        {"--", 1, 0},
    };
    for (const auto& c : cases) {
        StartupFlags flags;
        flags.scanCommandLine(c.commandLine);
        EXPECT_EQ(flags.connectToServer, c.connectToServer) << '"' << c.commandLine << '"';
        EXPECT_EQ(flags.syncRequested, c.syncRequested) << '"' << c.commandLine << '"';
    }
}

TEST(StartupFlagsTest, ArgumentsJoinIntoOneCommandLine) {
    EXPECT_EQ(StartupFlags::joinArguments({}), "");
    EXPECT_EQ(StartupFlags::joinArguments({"/DontConnect", "-sync"}), "/DontConnect -sync");
    StartupFlags flags;
    flags.scanCommandLine(StartupFlags::joinArguments({"Dont", "Connect"}));
    EXPECT_EQ(flags.connectToServer, 1);
}

TEST(StartupFlagsTest, ManualPatchFileMeansManualModeWhateverTheCommandLine) {
    test::TempGameFolder game;
    StartupFlags online = StartupFlags::forGameFolder(game.path(), "");
    EXPECT_EQ(online.manualPatch, 0);
    EXPECT_EQ(online.connectToServer, 1);
    EXPECT_EQ(online.manualPatchPath, game.path() + "ManualPatch.ini");

    game.write("ManualPatch.ini", "");  // an empty file still counts: it opens
    for (const char* line : {"", "DontConnect", "sync"}) {
        StartupFlags flags = StartupFlags::forGameFolder(game.path(), line);
        EXPECT_EQ(flags.manualPatch, 1) << line;
        EXPECT_EQ(flags.connectToServer, 0) << line;
    }
    EXPECT_EQ(StartupFlags::forGameFolder(game.path(), "-sync").syncRequested, 1);
}

TEST(StartupFlagsTest, ProbeLooksNextToTheExecutableAndIgnoresAFolderOfThatName) {
    test::TempGameFolder game;
    const std::string exe = game.path() + std::string(150, 'd') + "/nimbrel";
    game.write(std::string(150, 'd') + "/ManualPatch.ini", "x");
    StartupFlags flags = StartupFlags::fromStartup(exe, "");
    EXPECT_EQ(flags.manualPatch, 1);  // long paths are not cut short
    EXPECT_EQ(flags.manualPatchPath, game.path() + std::string(150, 'd') + "/ManualPatch.ini");

    test::TempGameFolder other;
    other.makeFolder("ManualPatch.ini");
    EXPECT_EQ(StartupFlags::forGameFolder(other.path(), "").manualPatch, 0);
}

}  // namespace
}  // namespace nimbrel
