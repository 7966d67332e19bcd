#include "engine/ManualPatchCheck.h"

#include "engine/PatchEngine.h"
#include "engine/PatchResult.h"

namespace nimbrel {

int ManualPatchCheck::checkManualPatchFiles(const std::vector<PatchListEntry>& entries) {
    if (engine_.stopRequested) return PatchResult::kStopped;
    if (entries.empty()) return PatchResult::kNothingToFetch;
    const std::string updateFolder = engine_.updateFolder();
    for (const auto& entry : entries) {
        // Deletion lists must be there as much as archives: the check does not look at kind.
        if (!engine_.fileExists(updateFolder + entry.fileName)) return engine_.stopRequested ? -7 : -4;
    }
    return 1;
}

}  // namespace nimbrel
