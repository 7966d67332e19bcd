// The launcher window. Patches the game folder it lies in, then starts the game client.

#include <QApplication>
#include <string>
#include <vector>

#include "app/CNimbrel2App.h"
#include "engine/StartupFlags.h"

int main(int argc, char* argv[]) {
    // The whole command line, taken before Qt removes the options it knows: the original
    // scanned every word the launcher was given.
    std::vector<std::string> arguments(argv + 1, argv + argc);
    // The embedded web page shares the window's GL context.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication application(argc, argv);
    nimbrel::CNimbrel2App(nimbrel::StartupFlags::joinArguments(arguments)).InitInstance();
    return 0;
}
