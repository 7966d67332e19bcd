#pragma once
// Offline patching: checks that every file the PatchList names already lies in the update folder.

#include <string>

#include "pack/PackArchive.h"

namespace nimbrel {

class PatchEngine;

class ManualPatchCheck {
public:
    explicit ManualPatchCheck(PatchEngine& engine) : engine_(engine) {}
    int checkManualPatchFiles();
private:
    PatchEngine& engine_;
};

}  // namespace nimbrel
