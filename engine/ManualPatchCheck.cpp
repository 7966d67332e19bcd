#include "engine/ManualPatchCheck.h"

#include "engine/PatchContext.h"
#include "engine/PatchResult.h"
#include "platform/FileSystem.h"

namespace nimbrel {

int ManualPatchCheck::checkManualPatchFiles(const std::vector<PatchListEntry>& entries) {
    if (context_.stopRequested) return PatchResult::kStopped;
    if (entries.empty()) return PatchResult::kNothingToFetch;
    const std::string updateFolder = context_.layout.updateFolder();
    for (const auto& entry : entries) {
        // Deletion lists must be there as much as archives: the check does not look at kind.
        if (!FileSystem::fileExists(updateFolder + entry.fileName))
            return context_.stopRequested ? PatchResult::kStopped : PatchResult::kPatchFileMissing;
    }
    return kAllPresent;
}

}  // namespace nimbrel
