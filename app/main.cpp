// The launcher window. Patches the game folder it lies in (or the one its settings or
// --game-dir name), then starts the game client.

#include <QApplication>
#include <cstdio>
#include <string>
#include <vector>

#include "app/LauncherWindow.h"
#include "engine/GameFolderLocator.h"
#include "engine/StartupFlags.h"
#include "platform/ExecutablePath.h"
#include "platform/ProcessLauncher.h"
#include "platform/Settings.h"

namespace {

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

// The game folder to patch and the Wine command, from the settings file.
std::string applySettings(const std::string& givenGameDir) {
    const std::string path = nimbrel::Settings::defaultPath();
    const auto choice = nimbrel::GameFolderLocator::choose(givenGameDir, nimbrel::ExecutablePath::folder(), path);
    if (!choice.error.empty()) std::fprintf(stderr, "nimbrel: %s\n", choice.error.c_str());
    std::string error;
    if (const auto settings = nimbrel::Settings::load(path, error))
        nimbrel::ProcessLauncher::useWine(settings->value(nimbrel::Settings::kWine),
                                          settings->value(nimbrel::Settings::kWinePrefix));
    return choice.folder;
}

}  // namespace

int main(int argc, char* argv[]) {
    // The whole command line, taken before Qt removes the options it knows: the start-up scan
    // looks for its words anywhere in it.
    std::vector<std::string> arguments(argv + 1, argv + argc);
    const std::string gameFolder = applySettings(takeGameDir(arguments));
    // The embedded web page shares the window's GL context.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication application(argc, argv);
    // The process ends when the window closes; the window's teardown runs before it does.
    nimbrel::LauncherWindow window(nimbrel::StartupFlags::joinArguments(arguments), gameFolder);
    window.start();
    window.exec();
    return 0;
}
