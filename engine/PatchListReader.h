#pragma once
// Parses the patch list (update/version.ini or ManualPatch.ini) into the PatchList.

#include <string>

#include "pack/PackArchive.h"

namespace nimbrel {

class PatchEngine;

class PatchListReader {
public:
    explicit PatchListReader(PatchEngine& engine) : engine_(engine) {}
    int read(int fromManualFile);
private:
    PatchEngine& engine_;
};

}  // namespace nimbrel
