#include "engine/GameFolderLocator.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <utility>

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

GameFolderCheck GameFolderLocator::check(const std::string& name) {
    using Kind = GameFolderCheck::Kind;
    // The launcher's current folder is whatever the desktop chose: a relative name means nothing.
    if (name.empty() || name.front() != '/')
        return {Kind::Refused, {}, "Give the full path of a folder (starting with /)."};
    const std::string folder = absoluteFolder(name);
    const std::string shown = folder.size() > 1 ? folder.substr(0, folder.size() - 1) : folder;
    const auto refused = [&folder](std::string reason) {
        return GameFolderCheck{Kind::Refused, folder, std::move(reason)};
    };

    std::error_code error;
    const auto status = std::filesystem::status(shown, error);
    if (status.type() == std::filesystem::file_type::not_found) return refused("There is no folder " + shown + ".");
    if (error) return refused(shown + " cannot be read: " + error.message() + ".");
    if (!std::filesystem::is_directory(status)) return refused(shown + " is not a folder.");
    const std::filesystem::directory_iterator entries(folder, error);
    if (error) return refused(shown + " cannot be read: " + error.message() + ".");

    if (FileSystem::fileExists(folder + GameLayout::kGameClientName)) return {Kind::Game, folder, {}};
    const std::string versionFile = folder + GameLayout::kClientVersionFileName;
    if (FileSystem::fileExists(versionFile)) {
        const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(versionFile.c_str(), "rb"), &std::fclose);
        if (file) return {Kind::Game, folder, {}};
        const int cause = errno;
        return refused(std::string(GameLayout::kClientVersionFileName) + " in " + shown +
                       " cannot be read: " + std::strerror(cause) + ".");
    }
    if (entries == std::filesystem::directory_iterator()) {
        if (::access(folder.c_str(), W_OK | X_OK) == 0) return {Kind::Empty, folder, {}};
        const int cause = errno;
        return refused(shown + " is empty, but the game cannot be installed into it: " + std::strerror(cause) + ".");
    }
    return refused(shown + " holds no game (neither " + GameLayout::kGameClientName + " nor " +
                   GameLayout::kClientVersionFileName +
                   ") and is not empty. Choose the game's folder, or an empty folder to install the game into.");
}

bool GameFolderLocator::remember(const std::string& folder, const std::string& settingsPath, std::string& error) {
    auto settings = Settings::load(settingsPath, error);
    if (!settings) return false;
    // Written as a person writes a folder, without the last "/".
    settings->set(Settings::kGameDir,
                  folder.size() > 1 && folder.back() == '/' ? folder.substr(0, folder.size() - 1) : folder);
    return settings->save(settingsPath, error);
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
    if (named.front() != '/') {
        none.error = std::string(Settings::kGameDir) + " in " + settingsPath + " is not an absolute path: " + named;
        return none;
    }
    return {absoluteFolder(named), Source::Settings, {}};
}

}  // namespace nimbrel
