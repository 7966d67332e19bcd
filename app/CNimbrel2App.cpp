#include "app/CNimbrel2App.h"

#include <utility>

#include "app/CNimbrel2Dlg.h"

namespace nimbrel {

CNimbrel2App::CNimbrel2App(std::string commandLine, std::string gameFolder)
    : commandLine_(std::move(commandLine)), gameFolder_(std::move(gameFolder)) {}

bool CNimbrel2App::InitInstance() {
    CNimbrel2Dlg dialog(commandLine_, gameFolder_);
    dialog.OnInitDialog();
    dialog.exec();
    dialog.OnDestroy();
    return false;
}

}  // namespace nimbrel
