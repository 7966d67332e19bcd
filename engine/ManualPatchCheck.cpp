#include "engine/ManualPatchCheck.h"

#include "engine/PatchEngine.h"

namespace nimbrel {

int ManualPatchCheck::checkManualPatchFiles() { return engine_.stopRequested ? -7 : 1; }
}  // namespace nimbrel
