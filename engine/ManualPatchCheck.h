#pragma once
// Offline patching: checks that every file the PatchList names already lies in the update folder.

#include <string>

#include "pack/PackArchive.h"

namespace nimbrel {

class PatchEngine;

class ManualPatchCheck {
public:
    explicit ManualPatchCheck(PatchEngine& engine) : engine_(engine) {}
    // 1 when every listed file is present; -3 for an empty PatchList; -4 at the first missing
    // file (-7 instead when a stop is pending); -7 when a stop was requested on entry.
    int checkManualPatchFiles();

private:
    PatchEngine& engine_;
};

}  // namespace nimbrel
