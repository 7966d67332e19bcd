#include "app/CNimbrel2App.h"

#include <utility>

#include "app/CNimbrel2Dlg.h"

namespace nimbrel {

CNimbrel2App::CNimbrel2App(std::string commandLine) : commandLine_(std::move(commandLine)) {}

bool CNimbrel2App::InitInstance() {
    CNimbrel2Dlg dialog(commandLine_);
    dialog.OnInitDialog();
    dialog.exec();
    dialog.OnDestroy();
    return false;
}

}  // namespace nimbrel
