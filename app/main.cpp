// The launcher window. Patches the game folder it lies in (or the one its settings or
// --game-dir name), then starts the game client. Without any, it asks for the folder first.

#include <QApplication>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/GameFolderDialog.h"
#include "app/LauncherWindow.h"
#include "engine/GameFolderLocator.h"
#include "engine/StartupFlags.h"
#include "platform/ExecutablePath.h"
#include "platform/FileSystem.h"
#include "platform/ProcessLauncher.h"
#include "platform/Settings.h"

namespace {

constexpr const char* kChooseGameDir = "--choose-game-dir";

// Takes "--game-dir DIR" or "--game-dir=DIR" out of the words; the rest are start-up words.
std::string takeGameDir(std::vector<std::string>& arguments) {
    std::string folder;
    for (std::size_t i = 0; i < arguments.size();) {
        if (arguments[i] == "--game-dir" && i + 1 < arguments.size()) {
            folder = arguments[i + 1];
            arguments.erase(arguments.begin() + i, arguments.begin() + i + 2);
        } else if (arguments[i].rfind("--game-dir=", 0) == 0) {
            folder = arguments[i].substr(11);
            arguments.erase(arguments.begin() + i);
        } else {
            ++i;
        }
    }
    return folder;
}

// Takes a word out of the words; whether it was there.
bool takeWord(std::vector<std::string>& arguments, const std::string& word) {
    const auto end = std::remove(arguments.begin(), arguments.end(), word);
    const bool found = end != arguments.end();
    arguments.erase(end, arguments.end());
    return found;
}

// The Wine command, from the settings file.
void applyWineSettings(const std::string& settingsPath) {
    std::string error;
    if (const auto settings = nimbrel::Settings::load(settingsPath, error))
        nimbrel::ProcessLauncher::useWine(settings->value(nimbrel::Settings::kWine),
                                          settings->value(nimbrel::Settings::kWinePrefix));
}

}  // namespace

int main(int argc, char* argv[]) {
    // The whole command line, taken before Qt removes the options it knows: the start-up scan
    // looks for its words anywhere in it.
    std::vector<std::string> arguments(argv + 1, argv + argc);
    const bool chooseGameDir = takeWord(arguments, kChooseGameDir);
    const std::string settingsPath = nimbrel::Settings::defaultPath();
    const auto choice =
        nimbrel::GameFolderLocator::choose(takeGameDir(arguments), nimbrel::ExecutablePath::folder(), settingsPath);
    if (!choice.error.empty()) std::fprintf(stderr, "nimbrel: %s\n", choice.error.c_str());
    std::string gameFolder = choice.folder;
    applyWineSettings(settingsPath);

    // The embedded web page shares the window's GL context.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication application(argc, argv);
    using Source = nimbrel::GameFolderChoice::Source;
    // A game_dir that has gone (a moved game, a disk not mounted) is asked for again.
    const bool gone = choice.source == Source::Settings && !nimbrel::FileSystem::isDirectory(gameFolder);
    const std::string notice =
        gone ? "The game folder " + gameFolder + " named in the settings is not there." : choice.error;
    if (chooseGameDir || gone || choice.source == Source::None) {
        nimbrel::GameFolderDialog dialog(settingsPath, choice.source == Source::None ? std::string() : gameFolder,
                                         notice);
        // Cancel ends the launcher before it has written anything.
        if (dialog.exec() != QDialog::Accepted) return 0;
        gameFolder = dialog.chosenFolder();
    }
    // The process ends when the window closes; the window's teardown runs before it does.
    nimbrel::LauncherWindow window(nimbrel::StartupFlags::joinArguments(arguments), gameFolder);
    window.start();
    window.exec();
    return 0;
}
