#pragma once
// What a patch list says for this installation: the archives and deletion lists still to fetch
// and apply, the version they lead to, and whether the launcher must replace itself first.

#include <vector>

#include "engine/PatchListEntry.h"

namespace nimbrel {

struct PatchList {
    std::vector<PatchListEntry> entries;
    int targetVersion = 0;
    bool selfUpdateRequired = false;
};

}  // namespace nimbrel
