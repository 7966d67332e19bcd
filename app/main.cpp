// The launcher window. Patches the game folder it lies in, then starts the game client.

#include <QApplication>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/CNimbrel2App.h"
#include "app/LauncherTestHook.h"
#include "engine/StartupFlags.h"

int main(int argc, char* argv[]) {
    // The whole command line, taken before Qt removes the options it knows: the original
    // scanned every word the launcher was given.
    std::vector<std::string> arguments(argv + 1, argv + argc);

    // The embedded web page shares the window's GL context.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication application(argc, argv);

    std::unique_ptr<nimbrel::LauncherTestHook> hook;
    if (const char* control = std::getenv("NIMBREL_TEST_CONTROL"); control && *control)
        hook = std::make_unique<nimbrel::LauncherTestHook>(control);

    nimbrel::CNimbrel2App app(nimbrel::StartupFlags::joinArguments(arguments), hook.get());
    app.InitInstance();
    return 0;
}
