#include "app/CNimbrel2App.h"

#include <utility>

#include "app/CNimbrel2Dlg.h"
#include "app/LauncherTestHook.h"

namespace nimbrel {

CNimbrel2App::CNimbrel2App(std::string commandLine, LauncherTestHook* testHook)
    : commandLine_(std::move(commandLine)), testHook_(testHook) {}

bool CNimbrel2App::InitInstance() {
    CNimbrel2Dlg dialog(commandLine_);
    if (testHook_) testHook_->watch(&dialog);
    dialog.OnInitDialog();
    dialog.exec();
    if (testHook_) testHook_->windowClosed();
    dialog.OnDestroy();
    if (testHook_) testHook_->watch(nullptr);
    return false;
}

}  // namespace nimbrel
