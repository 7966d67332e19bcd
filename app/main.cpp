// The launcher window. Patches the game folder it lies in, then starts the game client.

#include <QApplication>
#include <string>
#include <vector>

#include "app/LauncherWindow.h"
#include "engine/StartupFlags.h"

int main(int argc, char* argv[]) {
    // The whole command line, taken before Qt removes the options it knows: the start-up scan
    // looks for its words anywhere in it.
    std::vector<std::string> arguments(argv + 1, argv + argc);
    // The embedded web page shares the window's GL context.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication application(argc, argv);
    // The process ends when the window closes; the window's teardown runs before it does.
    nimbrel::LauncherWindow window(nimbrel::StartupFlags::joinArguments(arguments));
    window.start();
    window.exec();
    return 0;
}
