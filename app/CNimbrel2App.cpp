#include "app/CNimbrel2App.h"

#include <utility>

#include "app/CNimbrel2Dlg.h"
#include "app/LauncherTestHook.h"

namespace nimbrel {

CNimbrel2App::CNimbrel2App(std::string commandLine, LauncherTestHook* testHook)
    : commandLine_(std::move(commandLine)), testHook_(testHook) {}

bool CNimbrel2App::InitInstance() {
    CNimbrel2Dlg dialog(commandLine_);
    dialog.OnInitDialog();
    // Watched only once initialised: before that the controls hold the toolkit's defaults
    // (an enabled Start), which a test must never mistake for the launcher's state.
    if (testHook_) testHook_->watch(&dialog);
    dialog.exec();
    if (testHook_) testHook_->windowClosed();
    dialog.OnDestroy();
    if (testHook_) testHook_->watch(nullptr);
    return false;
}

}  // namespace nimbrel
