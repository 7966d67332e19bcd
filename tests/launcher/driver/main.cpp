// The launcher as the end-to-end tests run it: the shipped program's start-up with the test
// hook beside the window. Built only with the tests; the shipped `nimbrel` has no hook.

#include <QApplication>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/LauncherWindow.h"
#include "engine/StartupFlags.h"
#include "tests/launcher/driver/LauncherTestHook.h"

int main(int argc, char* argv[]) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication application(argc, argv);
    const char* control = std::getenv("NIMBREL_TEST_CONTROL");
    nimbrel::LauncherTestHook hook(control ? control : ".");
    nimbrel::LauncherWindow window(nimbrel::StartupFlags::joinArguments(arguments));
    window.start();
    window.exec();
    return 0;
}
