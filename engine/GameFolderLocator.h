#pragma once
// Which game folder a launcher patches. A launcher inside a game folder (a version.ini or the
// game client beside it) patches that folder, as a copy in the game folder always has; an
// installed one (in /usr/bin) patches the folder named by game_dir in its settings file.
// --game-dir overrides both.

#include <string>

namespace nimbrel {

struct GameFolderChoice {
    enum class Source { CommandLine, ExecutableFolder, Settings, None };

    std::string folder;  // absolute, ending in "/"; the executable's folder for None
    Source source = Source::None;
    std::string error;  // why the settings could not be used; empty when they could
};

class GameFolderLocator {
public:
    // A version.ini or the game client in the folder (ending in "/").
    static bool holdsGame(const std::string& folder);

    // given: --game-dir as typed (may be relative or empty).
    [[nodiscard]] static GameFolderChoice choose(const std::string& given, const std::string& executableFolder,
                                                 const std::string& settingsPath);

    // An absolute form of a folder name, ending in "/"; empty when it has none.
    static std::string absoluteFolder(const std::string& name);
};

}  // namespace nimbrel
