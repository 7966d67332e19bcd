// Which folder a launcher patches: its own when it lies in a game folder, else the settings'
// game_dir, with --game-dir above both.

#include <gtest/gtest.h>

#include <string>

#include "engine/GameFolderLocator.h"
#include "tests/support/TempGameFolder.h"

using nimbrel::GameFolderChoice;
using nimbrel::GameFolderLocator;
using nimbrel::test::TempGameFolder;

TEST(GameFolderLocator, OwnGameFolderThenSettingsWithGameDirAboveBoth) {
    TempGameFolder root;
    const std::string withVersion = root.makeFolder("a");
    root.write("a/version.ini", "[DEFAULT]\r\n");
    const std::string withClient = root.makeFolder("b");
    root.write("b/QuorlanPlus.exe", "MZ");
    const std::string bin = root.makeFolder("bin");
    const std::string game = root.makeFolder("game");
    const std::string settings = root.write("settings.ini", "game_dir=" + game + "\n");
    const std::string relative = root.write("relative.ini", "game_dir=games/q\n");
    root.makeFolder("unreadable.ini");
    const std::string empty = root.path() + "none.ini";

    using Source = GameFolderChoice::Source;
    const struct {
        std::string given, executableFolder, settingsPath;
        Source source;
        std::string folder;
        bool error;
    } cases[] = {
        {"", withVersion, settings, Source::ExecutableFolder, withVersion, false},
        {"", withClient, settings, Source::ExecutableFolder, withClient, false},
        {"", bin, settings, Source::Settings, game, false},
        {root.path() + "b/../a", bin, settings, Source::CommandLine, withVersion, false},
        {"", bin, empty, Source::None, bin, false},
        {"", bin, relative, Source::None, bin, true},
        {"", bin, root.path() + "unreadable.ini", Source::None, bin, true},
    };
    for (const auto& c : cases) {
        const GameFolderChoice choice = GameFolderLocator::choose(c.given, c.executableFolder, c.settingsPath);
        EXPECT_EQ(choice.source, c.source) << c.given << " " << c.executableFolder << " " << c.settingsPath;
        EXPECT_EQ(choice.folder, c.folder) << c.settingsPath;
        EXPECT_EQ(!choice.error.empty(), c.error) << choice.error;
    }
}
