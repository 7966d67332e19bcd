#include "engine/GameFolderLocator.h"

#include <filesystem>

#include "engine/GameLayout.h"
#include "platform/FileSystem.h"
#include "platform/Settings.h"

namespace nimbrel {

bool GameFolderLocator::holdsGame(const std::string& folder) {
    return FileSystem::fileExists(folder + GameLayout::kClientVersionFileName) ||
           FileSystem::fileExists(folder + GameLayout::kGameClientName);
}

std::string GameFolderLocator::absoluteFolder(const std::string& name) {
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::absolute(name, error);
    if (error || name.empty()) return {};
    std::string text = folder.lexically_normal().string();
    if (text.empty() || text.back() != '/') text += '/';
    return text;
}

GameFolderChoice GameFolderLocator::choose(const std::string& given, const std::string& executableFolder,
                                           const std::string& settingsPath) {
    using Source = GameFolderChoice::Source;
    if (!given.empty()) return {absoluteFolder(given), Source::CommandLine, {}};
    if (holdsGame(executableFolder)) return {executableFolder, Source::ExecutableFolder, {}};

    GameFolderChoice none{executableFolder, Source::None, {}};
    std::string error;
    const auto settings = Settings::load(settingsPath, error);
    if (!settings) {
        none.error = error;
        return none;
    }
    const std::string named = settings->value(Settings::kGameDir);
    if (named.empty()) return none;
    // The launcher's current folder is whatever the desktop chose: a relative name means nothing.
    if (named.front() != '/') {
        none.error = std::string(Settings::kGameDir) + " in " + settingsPath + " is not an absolute path: " + named;
        return none;
    }
    return {absoluteFolder(named), Source::Settings, {}};
}

}  // namespace nimbrel
