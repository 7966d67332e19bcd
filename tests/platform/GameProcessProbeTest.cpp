// The names a running game client's command line may give its file, as a shell or Wine
// writes them.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/FileSystem.h"
#include "platform/GameProcessProbe.h"
#include "tests/support/TempGameFolder.h"

using nimbrel::GameProcessProbe;
using nimbrel::test::TempGameFolder;

TEST(GameProcessProbe, KnowsTheClientUnderEveryNameWineOrAShellGivesIt) {
    // A Wine prefix whose drive C: holds the game.
    TempGameFolder prefix;
    const std::string game = prefix.makeFolder("drive_c/Games/Quorlan");
    prefix.makeFolder("dosdevices");
    std::filesystem::create_directory_symlink("../drive_c", prefix.file("dosdevices/c:"));
    const std::string client = game + "QuorlanPlus.exe";
    std::string windowsGame = game;
    for (char& c : windowsGame)
        if (c == '/') c = '\\';
    using namespace std::string_literals;

    const struct {
        std::string commandLine;
        bool names;
    } cases[] = {
        {"wine\0"s + client + "\0token"s, true},
        {"/usr/bin/sh\0-c\0script\0"s + client, true},
        {"Z:" + windowsGame + "QUORLANPLUS.EXE\0launch"s, true},
        {"z:" + windowsGame + "\\\\QuorlanPlus.exe", true},
        {"C:\\Games\\Quorlan\\QuorlanPlus.exe\0"s, true},
        {"\"C:\\GAMES\\quorlan\\QuorlanPlus.exe\" launch token", true},
        {"C:\\Games\\Other\\QuorlanPlus.exe", false},
        {"D:\\Games\\Quorlan\\QuorlanPlus.exe", false},
        {"wine\0/elsewhere/QuorlanPlus.exe"s, false},
        {"wine\0/mnt"s + client, false},
        {"cp\0"s + client + ".bak", false},
        {"vim\0"s + game + "version.ini", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(GameProcessProbe::commandLineNames(c.commandLine, client, prefix.path()), c.names) << c.commandLine;
}

// The probe reads /proc files of processes that may end meanwhile: a read that fails (there
// ESRCH, here a folder's EISDIR) gives nothing and never throws out of the patcher.
TEST(GameProcessProbe, FilesThatFailTheirReadReadAsNothing) {
    TempGameFolder folder;
    folder.write("a.txt", "bytes");
    EXPECT_EQ(nimbrel::FileSystem::readWholeFile(folder.file("a.txt")), "bytes");
    EXPECT_FALSE(nimbrel::FileSystem::readWholeFile(folder.path()));
    EXPECT_FALSE(nimbrel::FileSystem::readWholeFile(folder.file("missing")));
    EXPECT_FALSE(nimbrel::FileSystem::readWholeFile("/proc/self/cmdline").value_or("").empty());
}
