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

// What a folder the player offers as the game folder holds.
struct GameFolderCheck {
    enum class Kind { Game, Empty, Refused };

    Kind kind = Kind::Refused;
    std::string folder;  // absolute, ending in "/"
    std::string reason;  // why it is refused; empty otherwise
};

class GameFolderLocator {
public:
    // A version.ini or the game client in the folder (ending in "/").
    static bool holdsGame(const std::string& folder);

    // given: --game-dir as typed (may be relative or empty).
    [[nodiscard]] static GameFolderChoice choose(const std::string& given, const std::string& executableFolder,
                                                 const std::string& settingsPath);

    // A folder holding the game (the game client, or a version.ini that can be read) or an
    // empty folder to install into; anything else is refused with the reason. name: absolute.
    [[nodiscard]] static GameFolderCheck check(const std::string& name);
    // Saves folder as game_dir in the settings file, keeping its other lines; false with the
    // reason in error.
    [[nodiscard]] static bool remember(const std::string& folder, const std::string& settingsPath, std::string& error);

    // An absolute form of a folder name, ending in "/"; empty when it has none.
    static std::string absoluteFolder(const std::string& name);
};

}  // namespace nimbrel
